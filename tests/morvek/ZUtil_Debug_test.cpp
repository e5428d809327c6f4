// The library's log sink: the exact line format, the threshold, a sink or writer missing, and
// whole, exact lines on standard output under concurrent logging.

#include "morvek/ZUtil_Debug.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>

using namespace Morvek;

namespace
{

// A sink of another kind, enabled up to a threshold.
struct OtherMeister : public ZLog::LogMeister
{
    bool IsEnabled(ZLog::EPriority iP, const char*) override { return iP <= fThreshold; }
    bool IsEnabled(ZLog::EPriority iP, const string8&) override { return iP <= fThreshold; }
    void LogLine(ZLog::EPriority, const string8&, size_t, const string8&) override {}

    ZLog::EPriority fThreshold = 6;
};

const string8 kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} ";

// Whole-text match of a POSIX extended regular expression; fills oGroups with the
// parenthesised sub-matches.
bool sMatches(const string8& iText, const string8& iPattern,
              std::vector<string8>* oGroups = nullptr)
{
    std::smatch matches;
    if (!std::regex_match(iText, matches, std::regex(iPattern, std::regex::extended)))
        return false;
    if (oGroups)
        oGroups->assign(matches.begin() + 1, matches.end());
    return true;
}

} // anonymous namespace

TEST(ZUtil_Debug, LineFormatToTheCharacter)
{
    // Priority in hex, four spaces per level of depth, the name right-aligned by code points and
    // never cut. (The common shape, with a real thread id and clock, is checked on standard
    // output.)
    EXPECT_EQ("1970-01-01 00:00:00.000000 0xFFFFFFFF PA name - " + string8(8, ' ') + "m\n",
              ZUtil_Debug::sFormatLine(0, 0, 0xFFFFFFFF, 10, "name", 2, "m", 4));
    string8 nineteen; // two bytes, one code point each
    for (int i = 0; i < 19; ++i)
        nineteen += "\xC3\xA9";
    const string8 prefix = "1970-01-01 00:00:00.000000 0x00000001 P6 ";
    EXPECT_EQ(prefix + " " + nineteen + " - m\n",
              ZUtil_Debug::sFormatLine(0, 0, 1, 6, nineteen, 0, "m"));
    EXPECT_EQ(prefix + nineteen + "abcdef - m\n",
              ZUtil_Debug::sFormatLine(0, 0, 1, 6, nineteen + "abcdef", 0, "m"));

    // The calendar beyond 32 bits, on leap days, and before 1970.
    const std::pair<int64_t, string8> dates[] = {{951868799, "2000-02-29 23:59:59.999999"},
                                                 {4107542400, "2100-03-01 00:00:00.999999"},
                                                 {2214086400, "2040-02-29 00:00:00.999999"},
                                                 {-1, "1969-12-31 23:59:59.999999"}};
    for (const auto& d : dates)
        EXPECT_EQ(d.second,
                  ZUtil_Debug::sFormatLine(d.first, 999999, 1, 6, "n", 0, "m").substr(0, 26));
}

TEST(ZUtil_Debug, ThresholdAndMissingSinkOrWriter)
{
    ZLog::StrimW entry(0, "name"); // no sink: the entry is off and vanishes
    EXPECT_FALSE(entry);
    entry << "dropped";
    entry.Emit();

    const ZRef<ZUtil_Debug::LineMeister> meister = new ZUtil_Debug::LineMeister;
    EXPECT_TRUE(meister->IsEnabled(5, "n"));
    EXPECT_FALSE(meister->IsEnabled(6, string8("n")));
    meister->LogLine(3, "n", 0, "no writer: dropped");

    // sSetLogPriority touches only a sink of this kind.
    const ZRef<OtherMeister> other = new OtherMeister;
    ZLog::sSetLogMeister(other);
    ZUtil_Debug::sSetLogPriority(1);
    EXPECT_EQ(6, other->fThreshold);
    ZLog::sSetLogMeister(nullptr);
}

TEST(ZUtil_Debug, StandardOutputLinesAreExactAndStayWholeUnderConcurrentLogging)
{
    const int kThreads = 4;
    const int kLines = 300;
    testing::internal::CaptureStdout();
    ZUtil_Debug::sInstallLogMeister();
    ZUtil_Debug::sSetLogPriority(6);
    {
        ZLog::StrimW(7, "detail") << "not written";
        ZLog::StrimW(8, "detail") << "not written";
        ZLog::ScopeTrace trace(6, "quillane::sUTP_Close");
        ZLog::StrimW(3, "twenty-one-characters") << "inside";
    }
    quillane::test::sRunTogether(kThreads,
                         [&](int t)
                         {
                             const string8 payload(200, static_cast<char>('a' + t));
                             for (int i = 0; i < kLines; ++i)
                                 ZLog::StrimW(6, "worker") << t << ":" << i << ":" << payload;
                         });
    ZLog::sSetLogMeister(nullptr);
    std::vector<string8> lines;
    std::istringstream stream(testing::internal::GetCapturedStdout());
    for (string8 line; std::getline(stream, line);)
        lines.push_back(line);

    ASSERT_EQ(size_t(3 + kThreads * kLines), lines.size());
    const string8 thread = sStringf("0x%08llX", static_cast<unsigned long long>(ZThread::sID()));
    const string8 stamp = kStamp + thread;
    EXPECT_TRUE(sMatches(lines[0], stamp + " P6 {18}ZLF - > quillane::sUTP_Close")) << lines[0];
    EXPECT_TRUE(sMatches(lines[1], stamp + " P3 twenty-one-characters -     inside")) << lines[1];
    EXPECT_TRUE(sMatches(lines[2], stamp + " P6 {18}ZLF - < quillane::sUTP_Close")) << lines[2];
    // The stamp is today's UTC date (give or take a midnight during the test).
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof(today), "%Y-%m-%d", std::gmtime(&now));
    EXPECT_EQ(today, lines[0].substr(0, 10));

    const string8 shape = kStamp + "0x[0-9A-F]{8} P6  {14}worker - ([0-3]):([0-9]+):([a-d]{200})";
    std::vector<int> next(kThreads, 0);
    for (size_t n = 3; n < lines.size(); ++n)
    {
        std::vector<string8> groups;
        ASSERT_TRUE(sMatches(lines[n], shape, &groups)) << lines[n];
        const int t = std::stoi(groups[0]);
        EXPECT_EQ(next[t]++, std::stoi(groups[1])); // each thread's lines in its own order
        EXPECT_EQ(string8(200, static_cast<char>('a' + t)), groups[2]);
    }
}
