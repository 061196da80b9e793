// The serial ports on Windows, from the system's device list; and what
// the system tells about a port that would not open.

#include "ports.h"

#include <cwctype>
#include <windows.h>
// After windows.h, which they need.
#include <setupapi.h>

namespace korrin {

namespace fs = std::filesystem;

std::string utf8(const std::wstring& text)
{
    const int wide = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

namespace {

// The class of serial and parallel ports, GUID_DEVCLASS_PORTS.
constexpr GUID ports_class = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The four hex digits after `key` in a hardware ID, or 0.
unsigned hex_after(const std::wstring& id, const wchar_t* key)
{
    const std::size_t at = id.find(key);
    if (at == std::wstring::npos)
        return 0;
    return static_cast<unsigned>(std::wcstoul(id.substr(at + std::wcslen(key), 4).c_str(), nullptr, 16));
}

std::wstring device_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t text[1024] = {};
    // A list of strings (the hardware IDs) is kept to its first: the most
    // particular, USB\VID_03F0&PID_0121&REV_0100 or the like.
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr))
        return {};
    return text;
}

std::wstring port_name(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t);
    DWORD type = 0;
    const LONG read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_SZ ? name : L"";
}

// The COM ports of the Ports class that are present.
void from_device_list(std::vector<found_port>& ports)
{
    const HDEVINFO set = SetupDiGetClassDevsW(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const std::wstring name = port_name(set, device);
        if (!is_com_name(utf8(name)))
            continue;
        const std::wstring id = upper(device_property(set, device, SPDRP_HARDWAREID));
        std::wstring shown = device_property(set, device, SPDRP_FRIENDLYNAME);
        if (shown.empty())
            shown = device_property(set, device, SPDRP_DEVICEDESC);
        // "USB Serial Port (COM3)": the port's name is said beside it.
        const std::size_t named = shown.rfind(L" (" + name + L")");
        if (named != std::wstring::npos)
            shown.erase(named);
        found_port port;
        port.name = utf8(name);
        port.model = utf8(shown);
        port.driver = utf8(device_property(set, device, SPDRP_SERVICE));
        // USB\VID_0403&PID_6001, and FTDI's own FTDIBUS\VID_0403+PID_6001.
        if (id.find(L"VID_") != std::wstring::npos) {
            port.vendor = hex_after(id, L"VID_");
            port.product = hex_after(id, L"PID_");
            port.kind = port.vendor == calculator_vendor && port.product == calculator_product
                            ? port_kind::calculator
                            : port_kind::usb_adapter;
        }
        ports.push_back(port);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The COM ports the device map names that the list lacked.
void from_device_map(std::vector<found_port>& ports)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t device[256] = {};
        wchar_t name[64] = {};
        DWORD device_size = 255;
        DWORD name_size = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, i, device, &device_size, nullptr, &type, reinterpret_cast<BYTE*>(name),
                                        &name_size);
        if (read == ERROR_NO_MORE_ITEMS)
            break;
        if (read != ERROR_SUCCESS || type != REG_SZ || !is_com_name(utf8(name)))
            continue;
        bool known = false;
        for (const found_port& port : ports)
            known = known || upper(std::wstring(port.name.begin(), port.name.end())) == upper(name);
        if (known)
            continue;
        found_port port;
        port.name = utf8(name);
        port.model = utf8(device);
        ports.push_back(port);
    }
    RegCloseKey(key);
}

}  // namespace

std::vector<found_port> find_ports(const fs::path&)
{
    std::vector<found_port> ports;
    from_device_list(ports);
    from_device_map(ports);
    sort_ports(ports);
    return ports;
}

bool names_a_port(const std::string& word)
{
    const std::string prefix = "\\\\.\\";
    return is_com_name(word) || (word.compare(0, prefix.size(), prefix) == 0 && is_com_name(word.substr(prefix.size())));
}

// The port's failures carry the system's own codes.  A COM port held by
// another program refuses a second opening with ERROR_ACCESS_DENIED.
port_trouble trouble_of(const std::error_code& error)
{
    if (error.category() == std::system_category()) {
        switch (error.value()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return port_trouble::missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return port_trouble::busy;
        default:
            return port_trouble::other;
        }
    }
    return trouble_of_condition(error);
}

// Windows does not say which program holds a COM port.
std::vector<std::string> port_holders(const std::string&)
{
    return {};
}

// Windows gives a port to any user, one program at a time.
std::string port_group(const std::string&)
{
    return {};
}

}  // namespace korrin
