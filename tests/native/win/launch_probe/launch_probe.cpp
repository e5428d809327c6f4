// A harmless program for the tests of the elevated launch (Windows only): after a pause, writes
// its whole command line, as the system gave it (UTF-16 units, no terminator), to the file named
// by its first argument. Writing is its last act, and the file appears whole (it is renamed into
// place), so a caller that finds the file knows the program has ended its work.

#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>

int main()
{
    const wchar_t* commandLine = ::GetCommandLineW();
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(commandLine, &count);
    if (!args || count < 2)
        return 2;
    const std::wstring path = args[1];
    ::LocalFree(args);

    // Long enough that a launch that does not wait returns well before the file appears.
    ::Sleep(1000);

    const std::wstring partial = path + L".part";
    const HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    const DWORD size = DWORD(std::wcslen(commandLine) * sizeof(wchar_t));
    DWORD written = 0;
    const bool ok = ::WriteFile(file, commandLine, size, &written, nullptr) && written == size;
    ::CloseHandle(file);
    if (!ok || !::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 2;
    // An exit status the launcher does not report.
    return 3;
}
