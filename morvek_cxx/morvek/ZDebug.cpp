// ZDebug: the report path, the standard header, and the library's one link in the debug-function
// chain. The link is allocated once during static initialisation and never deleted, so reports
// made while the process is shutting down still reach it. The text of a report is bounded to
// 4095 characters and built on the stack: the fatal path allocates nothing.

#include "morvek/ZDebug.h"

#include "morvek/platform/Platform_Debug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Morvek
{
namespace ZDebug
{

namespace
{

const char kFatalTitle[] = "DebugBreak -- Application will exit";

// Characters that a bounded print of iResult characters left in a buffer of iSize bytes.
size_t spWritten(int iResult, size_t iSize)
{
    if (iResult < 0 || iSize == 0)
        return 0;
    return static_cast<size_t>(iResult) < iSize ? iResult : iSize - 1;
}

// For a stop report: into the debugger when one is attached, else shown and the process ends.
// Reports without stop show nothing.
void spDebugFunction(const Params_t& iParams, va_list iArgs)
{
    if (!iParams.fStop)
        return;

    char text[4096];
    const size_t length = sFormatHeader(text, sizeof(text), iParams);
    if (iParams.fUserMessage)
        std::vsnprintf(text + length, sizeof(text) - length, iParams.fUserMessage, iArgs);

    if (Platform::sDebugger_IsAttached())
    {
        Platform::sDebugger_Output(text);
        Platform::sDebugger_Break();
        return;
    }
    // The process ends with a failure status: a fatal condition must not look like success to
    // whoever waits for the process.
    Platform::sFatal_ShowAndExit(kFatalTitle, text);
}

class DebugFunction_Platform : public FunctionChain_t
{
  public:
    DebugFunction_Platform() : FunctionChain_t(false) {}

    bool Make(Function_t& oResult, const Params_t& iParams) override
    {
        (void)iParams;
        oResult = spDebugFunction;
        return true;
    }
};

// Registered during static initialisation; see the note at the top.
FunctionChain_t* const sDebugFunction_Platform = new DebugFunction_Platform;

} // anonymous namespace

void sReport(int iLevel, bool iStop, const char* iFileName, const char* iFunctionName,
             const char* iPrettyFunctionName, int iLine, const char* iAssertionMessage,
             const char* iUserMessage, ...)
{
    const Params_t params = {
        iLevel,      iStop, iFileName, iFunctionName, iPrettyFunctionName, iLine, iAssertionMessage,
        iUserMessage};
    Function_t function = nullptr;
    if (!FunctionChain_t::sInvoke(function, params) || !function)
        return;

    va_list args;
    va_start(args, iUserMessage);
    function(params, args);
    va_end(args);
}

size_t sFormatHeader(char* oBuffer, size_t iBufferSize, const Params_t& iParams)
{
    const char* file = iParams.fFileName ? iParams.fFileName : "";
    if (const char* slash = std::strrchr(file, '/'))
        file = slash + 1;
    const char* function = iParams.fPrettyFunctionName ? iParams.fPrettyFunctionName : "";

    int result;
    if (iParams.fAssertionMessage)
    {
        result = std::snprintf(oBuffer, iBufferSize, "Assertion failed: (%s), in %s[%s:%d]",
                               iParams.fAssertionMessage, function, file, iParams.fLine);
    }
    else
    {
        result = std::snprintf(oBuffer, iBufferSize, "%s[%s:%d]", function, file, iParams.fLine);
    }
    return spWritten(result, iBufferSize);
}

} // namespace ZDebug

void ZUnimplemented()
{
    ZDebug::sReport(0, true, __FILE__, "Morvek::ZUnimplemented", ZMACRO_PrettyFunction, __LINE__,
                    nullptr, nullptr);
    std::abort();
}

} // namespace Morvek
