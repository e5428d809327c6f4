// Log entries, scope traces and the standard-output sink: when lines are made, their depth, the
// exact line format, the threshold, and whole lines under concurrent logging.

#include "morvek/ZLog.h"
#include "morvek/ZUtil_Debug.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>

using namespace Morvek;

namespace
{

// Records every line it is given as "P<priority> <name> <depth> <message>"; enabled up to a
// threshold.
class RecordingMeister : public ZLog::LogMeister
{
  public:
    bool IsEnabled(ZLog::EPriority iP, const char*) override { return iP <= fThreshold; }
    bool IsEnabled(ZLog::EPriority iP, const string8&) override { return iP <= fThreshold; }
    void LogLine(ZLog::EPriority iPriority, const string8& iName, size_t iDepth,
                 const string8& iMessage) override
    {
        fLines.push_back(
            sStringf("P%d %s %zu %s", iPriority, iName.c_str(), iDepth, iMessage.c_str()));
    }

    ZLog::EPriority fThreshold = 6;
    std::vector<string8> fLines;
};

// Installs a RecordingMeister for each test; the process is left without a sink.
class ZLogRecorded : public testing::Test
{
  protected:
    void SetUp() override { ZLog::sSetLogMeister(fSink); }
    void TearDown() override { ZLog::sSetLogMeister(nullptr); }

    const ZRef<RecordingMeister> fSink = new RecordingMeister;
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

TEST(ZLog, PriorityNamesBeyondTheTable)
{
    EXPECT_EQ("Debug+1", ZLog::sPriorityToString(8));
    EXPECT_EQ("-2", ZLog::sPriorityToString(-2));
    EXPECT_EQ(4, ZLog::sPriorityFromString("Warning"));
    EXPECT_EQ(-1, ZLog::sPriorityFromString("Debug+1"));
    EXPECT_EQ(-1, ZLog::sPriorityFromString("info"));
}

TEST_F(ZLogRecorded, LinesAreMadeOnlyForNonEmptyMessages)
{
    {
        ZLog::StrimW silent(6, "silent");
        EXPECT_TRUE(silent);
        silent << "" << string8();
    }
    EXPECT_TRUE(fSink->fLines.empty());

    {
        ZLog::StrimW entry(6, string8("owned"));
        entry << "first" << ' ' << 1;
        entry.Emit();
        entry.Emit(); // nothing new: no line
        entry << u"second \u20AC" << U"\U0001F600";
    }
    const std::vector<string8> expected = {"P6 owned 0 first 1",
                                           "P6 owned 0 second \xE2\x82\xAC\xF0\x9F\x98\x80"};
    EXPECT_EQ(expected, fSink->fLines);

    ZLog::StrimW tooDetailed(7, "detail");
    EXPECT_FALSE(tooDetailed);
}

TEST_F(ZLogRecorded, ScopeTracesNestAndIndentPerThread)
{
    {
        ZLog::ScopeTrace outer(6, "outer");
        {
            ZLog::ScopeTrace inner(6, "inner");
            ZLog::StrimW(6, "body") << "inside";
            std::thread([] { ZLog::StrimW(6, "other") << "m"; }).join();
            ZLog::ScopeTrace hidden(7, "hidden"); // disabled: no lines, but it still nests
            ZLog::StrimW(6, "deeper") << "x";
        }
    }
    EXPECT_EQ(0u, ZLog::ScopeTrace::sDepth());

    const std::vector<string8> expected = {
        "P6 ZLF 0 > outer", "P6 ZLF 1 > inner", "P6 body 2 inside", "P6 other 0 m",
        "P6 deeper 3 x",    "P6 ZLF 1 < inner", "P6 ZLF 0 < outer"};
    EXPECT_EQ(expected, fSink->fLines);
}

TEST_F(ZLogRecorded, TraceLineNamesFileAndLine)
{
    ZLog::sLogTrace(6, "C:\\src\\utp\\StreamerRW_UTP", 374, "quillane::UTP::spSendTo");
    ZLog::sLogTrace(6, "/work/utp/Other.cpp", 12, "f");
    ZLog::sLogTrace(7, "ignored", 1, "g");
    const std::vector<string8> expected = {
        "P6 ZLOGTRACE 0 StreamerRW_UTP:374, in quillane::UTP::spSendTo",
        "P6 ZLOGTRACE 0 Other.cpp:12, in f"};
    EXPECT_EQ(expected, fSink->fLines);
}

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

    const ZRef<ZUtil_Debug::LogMeister> meister = new ZUtil_Debug::LogMeister;
    EXPECT_TRUE(meister->IsEnabled(5, "n"));
    EXPECT_FALSE(meister->IsEnabled(6, string8("n")));
    meister->LogLine(3, "n", 0, "no writer: dropped");

    // sSetLogPriority touches only a sink of this kind.
    const ZRef<RecordingMeister> other = new RecordingMeister;
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
