// Log entries and scope traces, through a sink that records them: when lines are made, the
// priority names, the depth of nested scopes per thread, and trace lines. (The standard-output
// sink is ZUtil_Debug's.)

#include "morvek/ZLog.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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
