// A harmless program for the test of the elevated launch (Windows only): a second after it
// starts, as its last act, writes its whole command line as the system gave it (UTF-16 units,
// no terminator) to the file named by its first argument.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

int main()
{
    const wchar_t* commandLine = ::GetCommandLineW();
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(commandLine, &count);
    if (!args || count < 2)
        return 2;
    ::Sleep(1000); // long enough that a launch that does not wait returns well before
    FILE* file = ::_wfopen(args[1], L"wb");
    if (!file)
        return 2;
    std::fwrite(commandLine, sizeof(wchar_t), std::wcslen(commandLine), file);
    return std::fclose(file) == 0 ? 0 : 2;
}
