// The entry point of a program whose file defines
//   template <typename Char> int start(int argc, Char** argv);
// before it includes this header.

#ifndef KORRIN_CLI_ENTRY_H
#define KORRIN_CLI_ENTRY_H

#ifdef _WIN32
// main would receive the names converted to the ANSI code page, which
// mangles every character the code page lacks; wmain receives them whole.
int wmain(int argc, wchar_t** argv)
{
    return start(argc, argv);
}
#else
int main(int argc, char** argv)
{
    return start(argc, argv);
}
#endif

#endif  // KORRIN_CLI_ENTRY_H
