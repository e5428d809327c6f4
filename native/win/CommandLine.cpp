// The parameter splitting of a Windows program's C runtime (the rules since its 2008 version,
// where "" inside quotes stays inside them).

#include "win/CommandLine.h"

namespace quillane
{
namespace native
{
namespace win
{

using Morvek::string8;

namespace
{

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

} // namespace win
} // namespace native
} // namespace quillane
