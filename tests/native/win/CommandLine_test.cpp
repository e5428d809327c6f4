// The Windows parameter splitting: the C runtime's documented cases and the corners around them.

#include "win/CommandLine.h"

#include <gtest/gtest.h>

using quillane::native::win::sSplitCommandLine;
using Args = std::vector<std::string>;

namespace
{

struct Case
{
    const char* fText;
    Args fArgs;
};

// Raw strings: what stands between R"( and )" is the parameter text exactly.
const Case kCases[] = {
    // The runtime's own examples.
    {R"("abc" d e)", {"abc", "d", "e"}},
    {R"(a\\\b d"e f"g h)", {R"(a\\\b)", "de fg", "h"}},
    {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
    {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
    {R"(a"b"" c d)", {R"(ab" c d)"}},
    // Blanks: spaces and tabs separate, runs count once, ends are trimmed; others are data.
    {"", {}},
    {" \t  ", {}},
    {"\ta  b\t\tc ", {"a", "b", "c"}},
    {"a\nb\rc\vd", {"a\nb\rc\vd"}},
    // Empty arguments come only from quotes.
    {R"("")", {""}},
    {R"("" "" x)", {"", "", "x"}},
    {"a \"\"\t", {"a", ""}},
    // Quotes inside an argument, doubled quotes in and out of quotes, an unterminated quote.
    {R"(a"b c"d)", {"ab cd"}},
    {R"("a""b")", {R"(a"b)"}},
    {R"(""""  x)", {R"(")", "x"}},
    {R"(a""b)", {"ab"}},
    {R"("a b)", {"a b"}},
    {"\"a\tb\" c", {"a\tb", "c"}},
    // Backslashes: literal unless a quote follows; runs halve before a quote.
    {R"(C:\Program Files\x)", {R"(C:\Program)", R"(Files\x)"}},
    {R"("C:\Program Files\\" next)", {R"(C:\Program Files\)", "next"}},
    {R"(a\ b\\)", {R"(a\)", R"(b\\)"}},
    {R"(\" \\" \\\")", {R"(")", R"(\ \")"}},
    {R"(\\\\\"x)", {R"(\\"x)"}},
    // UTF-8 passes through untouched, quoted or not.
    {"\xC3\xA9t\xC3\xA9 \"\xE2\x82\xAC 1\" \xF0\x9F\x98\x80", {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC 1",
                                                             "\xF0\x9F\x98\x80"}},
};

TEST(CommandLine, SplitsAsTheWindowsRuntimeDoes)
{
    for (const Case& c : kCases)
        EXPECT_EQ(c.fArgs, sSplitCommandLine(c.fText)) << "text: [" << c.fText << "]";
}

} // namespace
