// Starts the program named first, with the rest of the command line, on
// this console, then leaves the console to it alone and waits: as Explorer
// starts a program dropped files are given to.
#include <windows.h>

#include <cwchar>

int wmain()
{
    // The command line less this program's own name.
    const wchar_t* rest = GetCommandLineW();
    for (bool quoted = false; *rest != L'\0' && (quoted || *rest != L' '); ++rest)
        quoted = *rest == L'"' ? !quoted : quoted;
    while (*rest == L' ')
        ++rest;
    wchar_t line[32768];
    std::wcsncpy(line, rest, 32767);
    line[32767] = L'\0';
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &started))
        return 127;
    FreeConsole();
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(started.hProcess, &status);
    return static_cast<int>(status);
}
