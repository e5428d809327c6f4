// The command line of a program started elevated on POSIX systems, worked out without the
// system so that it is tested everywhere: the parameter text split into arguments the way a
// Windows program's C runtime splits the parameters of its command line, so that a command line
// written for Windows reaches a program on any system as the same arguments (no shell is
// involved: nothing is expanded or substituted); and whether pkexec, the consent prompt it may
// go through, takes the option that keeps the current directory.

#ifndef QUILLANE_SYSTEM_COMMANDLINE_H
#define QUILLANE_SYSTEM_COMMANDLINE_H

#include "morvek/ZStrim.h"

#include <vector>

namespace quillane
{
namespace system
{

// The arguments of iText, a parameter text (the command line after the program name). Works on
// bytes: every byte the rules treat specially is ASCII, so UTF-8 passes through unchanged.
//  - Spaces and tabs separate arguments outside quotes; nothing else does.
//  - A double quote starts or ends a quoted part, which may sit inside an argument; "" gives
//    an empty argument. Inside a quoted part, "" gives one literal quote and the part goes on.
//  - 2n backslashes before a quote give n backslashes and the quote acts as above; 2n+1 give n
//    backslashes and a literal quote. Backslashes not before a quote are literal.
//  - An unterminated quoted part ends with the text.
std::vector<Morvek::string8> sSplitCommandLine(const Morvek::string8& iText);

// Whether iVersionOutput, what `pkexec --version` wrote ("pkexec version 0.105", "pkexec version
// 121"), names polkit 121 or later, the first whose pkexec takes --keep-cwd; an older one takes
// it as the name of the program to run. False for any text not of that form.
bool sPkexecTakesKeepCwd(const Morvek::string8& iVersionOutput);

} // namespace system
} // namespace quillane

#endif // QUILLANE_SYSTEM_COMMANDLINE_H
