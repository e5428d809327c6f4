// Text writers and Unicode conversions: malformed input (refused by the strict check, skipped by
// the conversions), chunked conversion through the native writers (including short writes),
// formatted writes and sStringf. (The UTF-8 writer onto a byte stream only forwards; the
// standard-output log tests run through it.)

#include "morvek/ZStrim.h"

#include "tests/support/TestUtil.h"

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

// Which texts are valid UTF-8 (exactly the shortest forms of Unicode scalar values), and what the
// lenient conversion makes of each: it decodes overlong forms, skips what it cannot decode or what
// is no scalar value, looks at a byte that breaks a sequence again as a lead, and drops a sequence
// cut off by the end. The edges of each range are where a check of a lead byte goes wrong.
TEST(ZStrim, UTF8ValidityAndLenientConversionToUTF16)
{
    const struct
    {
        string8 fText;
        bool fValid;
        string16 fUTF16;
    } cases[] = {
        {"", true, u""},
        {"plain ASCII \x7F", true, u"plain ASCII \x7F"},
        {"\xC2\x80", true, u"\x80"}, // the smallest two-byte form
        {"\xDF\xBF", true, u"\x7FF"},
        {"\xE0\xA0\x80", true, u"\x800"},
        {"\xED\x9F\xBF\xEE\x80\x80", true, u"\xD7FF\xE000"}, // around the surrogates
        {"\xEF\xBF\xBF", true, u"\xFFFF"},
        {"\xF0\x90\x80\x80", true, u"\xD800\xDC00"},
        {"\xF4\x8F\xBF\xBF", true, u"\xDBFF\xDFFF"}, // U+10FFFF
        {"\xC0\xAF", false, u"/"},                   // overlong; C0 and C1 lead only such forms
        {"\xC1\xBF", false, u"\x7F"},
        {"\xE0\x80\xA2", false, u"\""},
        {"\xE0\x9F\xBF", false, u"\x7FF"},
        {"\xF0\x8F\xBF\xBF", false, u"\xFFFF"},
        {"a\xED\xA0\x80z", false, u"az"}, // U+D800
        {"\xED\xBF\xBF", false, u""},
        {"\xF4\x90\x80\x80", false, u""}, // U+110000
        {"\xF5\x80\x80\x80", false, u""},
        {"a\xF8\x88\x80\x80\x80z", false, u"az"}, // five- and six-byte forms
        {"a\xFC\x84\x80\x80\x80\x80z", false, u"az"},
        {"a\xFE\xFFz", false, u"az"},
        {string8("\0\xFF", 2), false, string16(1, u'\0')}, // U+0000, and the text goes on
        {"A\x80Z", false, u"AZ"},                          // a stray continuation byte
        {"\xC3\xA9\xA9", false, u"\xE9"},
        {"x\xE2\x82", false, u"x"}, // cut off by the end
        {"\xF0\x9F\x98", false, u""},
        {"\xC3\x41", false, u"A"}, // cut off by another character
        {"\xE2\x41\xAC", false, u"A"},
        {"\xF0\x9F\x98\x41", false, u"A"},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.fValid, sIsValidUTF8(c.fText)) << testing::PrintToString(c.fText);
        EXPECT_EQ(c.fUTF16, sUTF16FromUTF8(c.fText)) << testing::PrintToString(c.fText);
    }
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
    EXPECT_EQ("ZStrimW::ExEndOfStrim", quillane::test::sWhat<std::range_error>([&] { full.Write("ab"); }));

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
