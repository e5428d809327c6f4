// Fatal reports: the header, the function chain (preference, declining, exceptions), and the
// library's own debug function, which without a debugger writes the report to standard error
// and ends the process with a failure status.

#include "morvek/ZDebug.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

using namespace Morvek;

namespace
{

std::string sRecorded;

void sRecordingFunction(const ZDebug::Params_t& iParams, va_list iArgs)
{
    char buffer[256];
    const size_t length = ZDebug::sFormatHeader(buffer, sizeof(buffer), iParams);
    std::vsnprintf(buffer + length, sizeof(buffer) - length, iParams.fUserMessage, iArgs);
    sRecorded = buffer;
}

// A link that is part of the chain only while it lives.
struct TestLink : public ZDebug::FunctionChain_t
{
    TestLink(bool iPreferred, bool iThrows) : ZDebug::FunctionChain_t(iPreferred), fThrows(iThrows)
    {
    }

    bool Make(ZDebug::Function_t& oResult, const ZDebug::Params_t&) override
    {
        ++fAsked;
        if (fThrows)
            throw std::runtime_error("declines by throwing");
        oResult = sRecordingFunction;
        return true;
    }

    int fAsked = 0;
    bool fThrows;
};

ZDebug::Params_t sParams(const char* iFile, const char* iAssertion)
{
    return ZDebug::Params_t{0, true, iFile, "f", "void ns::f(int)", 42, iAssertion, nullptr};
}

} // anonymous namespace

TEST(ZDebug, HeaderNamesFunctionFileAndLine)
{
    char buffer[4096];
    EXPECT_EQ(25u, ZDebug::sFormatHeader(buffer, sizeof(buffer), sParams("a/b/c.cpp", nullptr)));
    EXPECT_STREQ("void ns::f(int)[c.cpp:42]", buffer);

    ZDebug::sFormatHeader(buffer, sizeof(buffer),
                          sParams("../../../../../morvek_cxx\\morvek\\ZDebug", "x > 0"));
    EXPECT_STREQ("Assertion failed: (x > 0), in void ns::f(int)[morvek_cxx\\morvek\\ZDebug:42]",
                 buffer);

    // Bounded: the text is cut and still terminated.
    char small[8];
    EXPECT_EQ(7u, ZDebug::sFormatHeader(small, sizeof(small), sParams("c.cpp", nullptr)));
    EXPECT_STREQ("void ns", small);
}

TEST(ZDebug, ChainPrefersPreferredLinksAndSkipsThrowingOnes)
{
    // Links are prepended: the walk meets the thrower before the other preferred link.
    TestLink ordinary(false, false);
    TestLink preferred(true, false);
    TestLink thrower(true, true);

    sRecorded.clear();
    ZDebugStopf(0, "value %d of %s", 7, "seven");
    EXPECT_EQ(1, thrower.fAsked);
    EXPECT_EQ(1, preferred.fAsked);
    EXPECT_EQ(0, ordinary.fAsked);
    EXPECT_NE(std::string::npos, sRecorded.find("[ZDebug_test.cpp:"));
    EXPECT_NE(std::string::npos, sRecorded.find("]value 7 of seven"));
}

TEST(ZDebug, ReportWithoutStopShowsNothingAndReturns)
{
    testing::internal::CaptureStderr();
    ZDebug::sReport(0, false, __FILE__, "f", "f()", __LINE__, nullptr, "quiet %d", 1);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(ZDebugDeathTest, StopReportAndUnimplementedWriteTitleAndTextAndFail)
{
    EXPECT_EXIT(ZDebugStopf(0, "fatal %d", 42), testing::ExitedWithCode(1),
                "DebugBreak -- Application will exit\n.*\\[ZDebug_test\\.cpp:.+\\]fatal 42\n");
    EXPECT_EXIT(ZDebug::sReport(0, true, "x/y.cpp", "f", "void f()", 9, "a == b", nullptr),
                testing::ExitedWithCode(1),
                "DebugBreak -- Application will exit\nAssertion failed: \\(a == b\\), in void "
                "f\\(\\)\\[y\\.cpp:9\\]\n");
    EXPECT_EXIT(ZUnimplemented(), testing::ExitedWithCode(1),
                "Application will exit\nvoid Morvek::ZUnimplemented\\(\\)\\[ZDebug\\.cpp:");
}
