// The parameter splitting of a Windows program's C runtime (the rules since its 2008 version,
// where "" inside quotes stays inside them), and the reading of pkexec's version: polkit
// numbered its releases 0.xxx up to 0.120 and by whole numbers from 121 on.

#include "system/CommandLine.h"

#include <algorithm>

namespace quillane
{
namespace system
{

using Morvek::string8;

namespace
{

const char kPkexecVersionPrefix[] = "pkexec version ";
const unsigned long kPkexecKeepCwdSince = 121;

bool spIsBlank(char iChar)
{
    return iChar == ' ' || iChar == '\t';
}

// Reads one argument starting at ioPos (not blank, not the end) and leaves ioPos behind it.
string8 spReadArgument(const string8& iText, size_t& ioPos)
{
    string8 result;
    bool inQuotes = false;
    const size_t end = iText.size();
    for (;;)
    {
        size_t backslashes = 0;
        while (ioPos < end && iText[ioPos] == '\\')
        {
            ++ioPos;
            ++backslashes;
        }
        bool literal = true;
        if (ioPos < end && iText[ioPos] == '"')
        {
            if (backslashes % 2 == 0)
            {
                if (inQuotes && ioPos + 1 < end && iText[ioPos + 1] == '"')
                    ++ioPos; // "" inside quotes: the second one is taken literally
                else
                {
                    literal = false;
                    inQuotes = !inQuotes;
                }
            }
            backslashes /= 2;
        }
        result.append(backslashes, '\\');
        if (ioPos >= end || (!inQuotes && spIsBlank(iText[ioPos])))
            return result;
        if (literal)
            result += iText[ioPos];
        ++ioPos;
    }
}

} // namespace

std::vector<string8> sSplitCommandLine(const string8& iText)
{
    std::vector<string8> result;
    size_t pos = 0;
    for (;;)
    {
        while (pos < iText.size() && spIsBlank(iText[pos]))
            ++pos;
        if (pos >= iText.size())
            return result;
        result.push_back(spReadArgument(iText, pos));
    }
}

bool sPkexecTakesKeepCwd(const string8& iVersionOutput)
{
    const string8 prefix = kPkexecVersionPrefix;
    if (iVersionOutput.compare(0, prefix.size(), prefix) != 0)
        return false;
    // The version runs to the end of its line: dot-separated digits, the major version first
    // (nine digits at most, which an unsigned long always holds).
    const size_t end = iVersionOutput.find_first_of(" \t\r\n", prefix.size());
    const string8 version = iVersionOutput.substr(prefix.size(), end - prefix.size());
    const size_t majorLength = std::min(version.find('.'), version.size());
    if (majorLength == 0 || majorLength > 9 ||
        version.find_first_not_of("0123456789.") != string8::npos)
    {
        return false;
    }
    return std::stoul(version.substr(0, majorLength)) >= kPkexecKeepCwdSince;
}

} // namespace system
} // namespace quillane
