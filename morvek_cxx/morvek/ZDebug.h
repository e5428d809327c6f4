// ZDebug: reports of fatal conditions (an unimplemented operation, an unsupported type, a broken
// invariant) with their source location. A report asks a chain of candidate functions for the
// one that handles it; the library registers one link, which for a stop report breaks into an
// attached debugger or else shows the text under "DebugBreak -- Application will exit" and ends
// the process with a failure status. Reports may come from any thread; nothing here locks.

#ifndef QUILLANE_MORVEK_ZDEBUG_H
#define QUILLANE_MORVEK_ZDEBUG_H

#include "morvek/ZFunctionChain.h"
#include "morvek/ZStrim.h"

#include <cstdarg>
#include <cstddef>

#if defined(_MSC_VER)
#define ZMACRO_PrettyFunction __FUNCSIG__
#else
#define ZMACRO_PrettyFunction __PRETTY_FUNCTION__
#endif

namespace Morvek
{
namespace ZDebug
{

struct Params_t
{
    int fLevel;
    bool fStop; // the report ends the process or breaks into the debugger
    const char* fFileName;
    const char* fFunctionName;       // short, for example "Morvek::ZUnimplemented"
    const char* fPrettyFunctionName; // the full signature
    int fLine;
    const char* fAssertionMessage; // null unless the report is a failed assertion
    const char* fUserMessage;      // printf-style format or null; its arguments follow the report
};

typedef void (*Function_t)(const Params_t& iParams, va_list iArgs);

// The chain of candidates for the debug function. On some ABIs (64-bit Windows) va_list is a type
// with an attribute, which a template argument cannot carry; the chain only stores and hands out
// the pointer, so nothing depends on it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
typedef ZFunctionChain_T<Function_t, const Params_t&> FunctionChain_t;
#pragma GCC diagnostic pop

// Fills the parameters, asks the chain for a function and calls it with the remaining arguments.
// Nothing happens when no link supplies one.
void sReport(int iLevel, bool iStop, const char* iFileName, const char* iFunctionName,
             const char* iPrettyFunctionName, int iLine, const char* iAssertionMessage,
             const char* iUserMessage, ...) ZMACRO_PrintfFormat(8, 9);

// The standard header into a buffer of iBufferSize bytes (always terminated when iBufferSize is
// not 0): "Assertion failed: (text), in signature[file:line]" or "signature[file:line]", the file
// being the path after its last '/'. Returns the number of characters written.
size_t sFormatHeader(char* oBuffer, size_t iBufferSize, const Params_t& iParams);

} // namespace ZDebug

// Marks an operation that a class does not provide: a stop report, then abort.
[[noreturn]] void ZUnimplemented();

} // namespace Morvek

// A stop report with a printf-style message at the calling location.
#define ZDebugStopf(level, ...)                                                                    \
    ::Morvek::ZDebug::sReport(level, true, __FILE__, __func__, ZMACRO_PrettyFunction, __LINE__,    \
                              nullptr, __VA_ARGS__)

#endif // QUILLANE_MORVEK_ZDEBUG_H
