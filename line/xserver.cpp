#include "xserver.h"

namespace korrin {

namespace {

constexpr unsigned byte_bits = 8;
constexpr unsigned byte_mask = 0xFF;
constexpr std::size_t length_size = 2;
// A record's prolog, size and checksum after its name.
constexpr std::size_t record_figures = 2 + 3 + 2;

unsigned char sum_of(std::string_view bytes)
{
    unsigned sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return static_cast<unsigned char>(sum & byte_mask);
}

// A number of `size` bytes, low byte first.
std::uint32_t low_first(std::string_view bytes, std::size_t at, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;)
        value = value << byte_bits | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

std::string xserver_packet(std::string_view bytes)
{
    std::string packet;
    packet += static_cast<char>((bytes.size() >> byte_bits) & byte_mask);
    packet += static_cast<char>(bytes.size() & byte_mask);
    packet += bytes;
    packet += static_cast<char>(sum_of(bytes));
    return packet;
}

xserver_scan scan_xserver_packet(std::string_view bytes)
{
    xserver_scan scan;
    if (bytes.size() < length_size)
        return scan;
    const std::size_t size = static_cast<std::size_t>(static_cast<unsigned char>(bytes[0])) << byte_bits |
                             static_cast<unsigned char>(bytes[1]);
    const std::size_t whole = length_size + size + 1;
    if (bytes.size() < whole)
        return scan;
    scan.used = whole;
    std::string_view data = bytes.substr(length_size, size);
    if (sum_of(data) != static_cast<unsigned char>(bytes[whole - 1])) {
        scan.status = xserver_scan_status::damaged;
        return scan;
    }
    scan.status = xserver_scan_status::whole;
    scan.data = std::string(data);
    return scan;
}

bool read_xserver_listing(std::string_view records, std::vector<xserver_entry>& entries)
{
    entries.clear();
    for (std::size_t at = 0; at < records.size();) {
        const std::size_t name_size = static_cast<unsigned char>(records[at]);
        if (records.size() - at < 1 + name_size + record_figures)
            return false;
        xserver_entry entry;
        entry.name = std::string(records.substr(at + 1, name_size));
        at += 1 + name_size;
        entry.prolog = low_first(records, at, 2);
        entry.nibbles = low_first(records, at + 2, 3);
        entry.checksum = low_first(records, at + 5, 2);
        at += record_figures;
        entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace korrin
