// The Windows parameter splitting: the C runtime's documented cases and the corners around them;
// the reading of pkexec's version.

#include "system/CommandLine.h"

#include <gtest/gtest.h>

using quillane::system::sPkexecTakesKeepCwd;
using quillane::system::sSplitCommandLine;

namespace
{

TEST(CommandLine, SplitsAsTheWindowsRuntimeDoes)
{
    // Raw strings: what stands between R"( and )" is the parameter text exactly.
    const struct
    {
        const char* fText;
        std::vector<std::string> fArgs;
    } cases[] = {
        // The runtime's own examples.
        {R"("abc" d e)", {"abc", "d", "e"}},
        {R"(a\\\b d"e f"g h)", {R"(a\\\b)", "de fg", "h"}},
        {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
        {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
        {R"(a"b"" c d)", {R"(ab" c d)"}}, // "" inside quotes, and a quote never closed
        // Only spaces and tabs separate; runs count once, ends are trimmed.
        {" \t  ", {}},
        {"\ta  b\t\tc ", {"a", "b", "c"}},
        {"a\nb\rc\vd", {"a\nb\rc\vd"}},
        // Empty arguments come only from quotes; "" outside quotes gives nothing.
        {"\"\" a \"\"\t", {"", "a", ""}},
        {R"(a""b)", {"ab"}},
        {R"(""""  x)", {R"(")", "x"}},
        // Backslashes halve only before a quote.
        {R"("C:\Program Files\\" next)", {R"(C:\Program Files\)", "next"}},
        {R"(a\ b\\)", {R"(a\)", R"(b\\)"}},
        // UTF-8 passes through untouched, quoted or not.
        {"\xC3\xA9t\xC3\xA9 \"\xE2\x82\xAC 1\"", {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC 1"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fArgs, sSplitCommandLine(c.fText)) << "text: [" << c.fText << "]";
}

// Anything but a well-formed version of 121 or later counts as an old pkexec, which must not be
// given --keep-cwd.
TEST(CommandLine, PkexecTakesKeepCwdFromPolkit121On)
{
    const std::pair<const char*, bool> cases[] = {
        {"pkexec version 0.105\n", false}, {"pkexec version 120\n", false},
        {"pkexec version 121\n", true},    {"pkexec version 124", true},
        {"pkexec version 1210.2\n", true}, {"", false},
        {"pkexec version\n", false},       {"pkexec version 121rc1\n", false},
        {"pkexec version .121\n", false},  {"pkexec version 9999999999\n", false},
        {"Pkexec version 121\n", false},   {"usage: pkexec [--version]\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, sPkexecTakesKeepCwd(c.first)) << "output: [" << c.first << "]";
}

} // namespace
