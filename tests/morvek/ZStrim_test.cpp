// Text writers and Unicode conversions: malformed input handling, chunked conversion through the
// native writers (including short writes), formatted writes and sStringf. (The UTF-8 writer onto
// a byte stream only forwards; the standard-output log tests run through it.)

#include "morvek/ZStrim.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace Morvek;

namespace
{

string8 sBytes(std::initializer_list<int> iBytes)
{
    string8 result;
    for (int b : iBytes)
        result += static_cast<char>(b);
    return result;
}

// A UTF-8 destination that takes at most fCapacity more bytes and counts its slot calls.
class ZStrimW_Limited : public ZStrimW_NativeUTF8
{
  public:
    explicit ZStrimW_Limited(size_t iCapacity) : fCapacity(iCapacity) {}

    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override
    {
        ++fCalls;
        const size_t taken = std::min(iCountCU, fCapacity - fText.size());
        fText.append(iSource, taken);
        *oCountCU = taken;
    }

    mutable string8 fText;
    mutable size_t fCalls = 0;
    size_t fCapacity;
};

} // anonymous namespace

TEST(ZStrim, UTF8ToUTF16SkipsMalformedInput)
{
    EXPECT_EQ(u"\xD83D\xDE00", sUTF16FromUTF8(sBytes({0xF0, 0x9F, 0x98, 0x80})));
    EXPECT_EQ(u"AB", sUTF16FromUTF8(sBytes({0x41, 0x80, 0x42})));
    EXPECT_EQ(u"A", sUTF16FromUTF8(sBytes({0xC3, 0x41})));
    EXPECT_EQ(u"x", sUTF16FromUTF8(sBytes({'x', 0xE2, 0x82})));
    // A bad trailing byte inside a sequence cut off by the end is still looked at as a lead.
    EXPECT_EQ(u"A", sUTF16FromUTF8(sBytes({0xE2, 0x41})));
    EXPECT_EQ(u"ab", sUTF16FromUTF8(sBytes({'a', 0xFE, 0xFF, 'b'})));
    // Overlong forms are accepted.
    EXPECT_EQ(u"/", sUTF16FromUTF8(sBytes({0xC0, 0xAF})));
    // Five- and six-byte forms give values beyond Unicode, and surrogates are not characters.
    EXPECT_EQ(u"ab", sUTF16FromUTF8(sBytes({'a', 0xF8, 0x88, 0x80, 0x80, 0x80, 'b'})));
    EXPECT_EQ(u"ab", sUTF16FromUTF8(sBytes({'a', 0xFC, 0x84, 0x80, 0x80, 0x80, 0x80, 'b'})));
    EXPECT_EQ(u"ab", sUTF16FromUTF8(sBytes({'a', 0xED, 0xA0, 0x80, 'b'})));
    EXPECT_EQ(u"\U0010FFFF", sUTF16FromUTF8(sBytes({0xF4, 0x8F, 0xBF, 0xBF})));
    EXPECT_EQ(u"", sUTF16FromUTF8(sBytes({0xF4, 0x90, 0x80, 0x80})));
}

// Exactly the shortest forms of Unicode scalar values pass; the edges of each range are where a
// check of the lead byte or the byte after it goes wrong.
TEST(ZStrim, IsValidUTF8AcceptsOnlyWellFormedText)
{
    const struct
    {
        string8 fText;
        bool fValid;
    } cases[] = {
        {"", true},
        {"plain ASCII \x7F", true},
        {"\xC2\x80", true},                 // U+0080, the smallest two-byte form
        {"\xDF\xBF", true},                 // U+07FF
        {"\xE0\xA0\x80", true},             // U+0800
        {"\xED\x9F\xBF\xEE\x80\x80", true}, // U+D7FF and U+E000, around the surrogates
        {"\xEF\xBF\xBF", true},             // U+FFFF
        {"\xF0\x90\x80\x80", true},         // U+10000
        {"\xF4\x8F\xBF\xBF", true},         // U+10FFFF
        {"\xC0\xAF", false},                // overlong '/'; C0 and C1 lead only overlong forms
        {"\xC1\xBF", false},
        {string8("\0\xFF", 2), false}, // U+0000 is valid, and the text goes on after it
        {"\xE0\x80\xA2", false},       // overlong '"'
        {"\xE0\x9F\xBF", false},       // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", false},   // overlong U+FFFF
        {"\xED\xA0\x80", false},       // U+D800
        {"\xED\xBF\xBF", false},       // U+DFFF
        {"\xF4\x90\x80\x80", false},   // U+110000
        {"\xF5\x80\x80\x80", false},
        {"a\xFF", false},
        {"\xFE", false},
        {"\xF8\x88\x80\x80\x80", false}, // a five-byte form
        {"\x80", false},                 // a stray continuation byte
        {"\xC3\xA9\xA9", false},
        {"\xE2\x82", false}, // cut off by the end
        {"\xF0\x9F\x98", false},
        {"\xE2\x41\xAC", false}, // cut off by another character
        {"\xF0\x9F\x98\x41", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fValid, sIsValidUTF8(c.fText)) << testing::PrintToString(c.fText);
}

TEST(ZStrim, UTF16AndUTF32ToUTF8)
{
    const UTF16 pairBroken[] = {0xD83D, 0x0041};
    EXPECT_EQ("A", sUTF8FromUTF16(pairBroken, 2));
    const UTF16 loneLow[] = {0xDC00};
    EXPECT_EQ("", sUTF8FromUTF16(loneLow, 1));
    const UTF16 trailingHigh[] = {0x0041, 0xD800};
    EXPECT_EQ("A", sUTF8FromUTF16(trailingHigh, 2));

    const UTF32 mixed[] = {0x41, 0xD800, 0x110000, 0x20AC, 0xFFFFFFFF, 0x10FFFF};
    EXPECT_EQ(sBytes({0x41, 0xE2, 0x82, 0xAC, 0xF4, 0x8F, 0xBF, 0xBF}), sUTF8FromUTF32(mixed, 6));
}

TEST(ZStrim, AppendUTF8CoversAllLengths)
{
    const std::pair<UTF32, string8> cases[] = {{0x24, "$"},
                                               {0x7FF, "\xDF\xBF"},
                                               {0x20AC, "\xE2\x82\xAC"},
                                               {0x10FFFF, "\xF4\x8F\xBF\xBF"},
                                               {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
                                               {0x200000, "\xF8\x88\x80\x80\x80"},
                                               {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
                                               {0x80000000, ""}};
    for (const auto& c : cases)
    {
        string8 result = "<";
        sAppendUTF8(result, c.first);
        EXPECT_EQ("<" + c.second, result) << std::hex << c.first;
    }
}

TEST(ZStrim, RoundTripOfRandomCodePoints)
{
    // {first, count}: ASCII, the BMP below and above the surrogates, and the astral planes.
    const uint32_t kRanges[][2] = {{0, 0x80}, {0, 0xD800}, {0xE000, 0x2000}, {0x10000, 0x100000}};
    std::mt19937 rng(20240131);
    for (int round = 0; round < 50; ++round)
    {
        string32 original;
        const size_t length = 1 + rng() % 3000;
        for (size_t i = 0; i < length; ++i)
        {
            const uint32_t* range = kRanges[rng() % 4];
            original += static_cast<UTF32>(range[0] + rng() % range[1]);
        }

        const string8 utf8 = sUTF8FromUTF32(original.data(), original.size());
        const string16 utf16 = sUTF16FromUTF8(utf8);
        ASSERT_EQ(utf8, sUTF8FromUTF16(utf16));

        // And back to UTF-32 through the writers' chunked conversions (which cross 4096-unit
        // chunk boundaries for the longer strings).
        string32 fromUTF8, fromUTF16;
        ZStrimW_String<string32>(fromUTF8).Write(utf8);
        ZStrimW_String<string32>(fromUTF16).Write(utf16);
        ASSERT_EQ(original, fromUTF8);
        ASSERT_EQ(original, fromUTF16);

        string8 viaWriter;
        ZStrimW_String<string8>(viaWriter).Write(original);
        ASSERT_EQ(utf8, viaWriter);
        EXPECT_EQ(original.size(), sCountCP(utf8.data(), utf8.size()));
    }
}

TEST(ZStrim, ShortWritesReportWholeCodePointsAndThrowOnlyForThose)
{
    // Three euro signs, three bytes each; the destination takes five bytes.
    const UTF32 euros[] = {0x20AC, 0x20AC, 0x20AC};
    ZStrimW_Limited limited(5);
    size_t consumed = 99;
    limited.Write(euros, 3, &consumed);
    EXPECT_EQ(1u, consumed);

    ZStrimW_Limited limited16(5);
    EXPECT_THROW(limited16.Write(string16(u"\u20AC\u20AC\u20AC")), ZStrimW::ExEndOfStrim);

    // A long conversion stops in a later chunk at the code point that no longer fitted.
    string32 many(5000, 0x20AC);
    ZStrimW_Limited big(4096 * 3 + 10);
    big.Write(many.data(), many.size(), &consumed);
    EXPECT_EQ(4096u + 3, consumed);

    // String writes fail only on complete code points left: an incomplete trailing sequence that
    // the destination does not take is no error.
    ZStrimW_Limited partial(2);
    EXPECT_NO_THROW(partial.Write(sBytes({'a', 'b', 0xE2, 0x82})));
    EXPECT_THROW(partial.Write(string8("c")), ZStrimW::ExEndOfStrim);

    ZStrimW_Limited full(1);
    EXPECT_EQ("ZStrimW::ExEndOfStrim", qntest::sWhat<std::range_error>([&] { full.Write("ab"); }));

    // The empty C string does not reach the slot.
    ZStrimW_Limited counting(100);
    counting.Write("");
    counting.Write(u"");
    EXPECT_EQ(0u, counting.fCalls);
}

TEST(ZStrim, FormattedWrites)
{
    string8 text;
    const ZStrimW& w = ZStrimW_String<string8>(text);
    w << true << "," << false << "," << 0.1 << "," << 1.5f << "," << -7 << "," << 42u << ","
      << static_cast<short>(-2) << "," << static_cast<unsigned char>(200) << ","
      << static_cast<signed char>(-3) << "," << 'x' << "," << L'\u00E9' << ","
      << (-9223372036854775807LL - 1) << "," << 18446744073709551615ULL << "," << -5L;
    EXPECT_EQ("true,false,0.10000000000000001,1.5,-7,42,-2,200,-3,x,\xC3\xA9,"
              "-9223372036854775808,18446744073709551615,-5",
              text);

    string16 wide;
    ZStrimW_String<string16>(wide).Writef("%d-%s", 12, "\xE2\x82\xAC");
    EXPECT_EQ(u"12-\u20AC", wide);
}

TEST(ZStrim, StringfGrowsPastItsFirstBuffer)
{
    for (size_t length : {0, 1, 511, 512, 513, 5000})
    {
        const string8 expected(length, 'q');
        EXPECT_EQ(expected + "!", sStringf("%s!", expected.c_str())) << length;
    }
    EXPECT_EQ("1.2.3.4", sStringf("%d.%d.%d.%d", 1, 2, 3, 4));
}
