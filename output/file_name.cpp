// The name of the new file a run makes beside its output.

#include "output_system.h"

#include <chrono>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korrin {

std::filesystem::path new_file_name(const std::filesystem::path& name, const char* program)
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t random_letters = 6;
    constexpr std::size_t longest_name = 255;
    // The letters only have to differ from names already there, and the
    // exclusive create makes sure they do; the clock and the process tell
    // runs apart, and the state moves on for each try.
#ifdef _WIN32
    const unsigned process = GetCurrentProcessId();
#else
    const unsigned process = static_cast<unsigned>(getpid());
#endif
    static unsigned state =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ process << 16;

    std::string tag = std::string(".") + program + "-";
    for (std::size_t i = 0; i < random_letters; ++i) {
        state = state * 1103515245u + 12345u;
        tag += letters[(state >> 16) % (sizeof letters - 1)];
    }
    std::filesystem::path file = name.native().substr(0, longest_name - tag.size());
    return file += tag;
}

}  // namespace korrin
