// ZLog: priority names, the sink slot, entries, scope traces and the trace line.
//
// The per-thread stack of scope traces is a thread-local pointer to the innermost live ScopeTrace;
// each record points at the one it encloses. Only the owning thread touches its stack. (A
// language thread-local, not a ZThreadLocal slot: scope traces run on every datagram, and the
// slot's lookups cost more than the rest of a disabled trace.) The sink slot is allocated
// once and never freed (see ZLog.h).

#include "morvek/ZLog.h"

#include <cstring>

namespace Morvek
{
namespace ZLog
{

namespace
{

const char* const kPriorityNames[] = {"Emerg",   "Alert",  "Crit", "Err",
                                      "Warning", "Notice", "Info", "Debug"};

ZRef<LogMeister>& spLogMeister()
{
    static ZRef<LogMeister>* sSlot = new ZRef<LogMeister>;
    return *sSlot;
}

// The calling thread's innermost live scope trace; null outside every traced scope.
thread_local ScopeTrace* tInnermost = nullptr;

// Whether the sink takes a scope line of this priority, asked before any entry is built: most
// scope traces are below the threshold, and run on every datagram.
bool spScopeLineEnabled(EPriority iPriority) noexcept
{
    LogMeister* const meister = spLogMeister().Get(); // borrowed, as in StrimW's test
    if (!meister)
        return false;
    try
    {
        return meister->IsEnabled(iPriority, "ZLF");
    }
    catch (...)
    {
        return false;
    }
}

} // anonymous namespace

// =============================================================================================

string8 sPriorityToString(EPriority iPriority)
{
    if (iPriority < 0)
        return sStringf("%d", iPriority);
    if (iPriority <= ePriority_Debug)
        return kPriorityNames[iPriority];
    return string8("Debug") + sStringf("+%d", iPriority - ePriority_Debug);
}

EPriority sPriorityFromString(const string8& iString)
{
    for (EPriority priority = 0; priority <= ePriority_Debug; ++priority)
    {
        if (iString == kPriorityNames[priority])
            return priority;
    }
    return -1;
}

// =============================================================================================

bool LogMeister::IsEnabled(EPriority iPriority, const char* iName)
{
    (void)iPriority;
    (void)iName;
    return true;
}

bool LogMeister::IsEnabled(EPriority iPriority, const string8& iName)
{
    (void)iPriority;
    (void)iName;
    return true;
}

ZRef<LogMeister> sGetLogMeister()
{
    return spLogMeister();
}

void sSetLogMeister(const ZRef<LogMeister>& iLogMeister)
{
    spLogMeister() = iLogMeister;
}

// =============================================================================================
// StrimW

StrimW::StrimW(EPriority iPriority, const char* iName)
    : fPriority(iPriority), fName_CharStar(iName), fIsScopeLine(false)
{
}

StrimW::StrimW(EPriority iPriority, const string8& iName)
    : fPriority(iPriority), fName_CharStar(nullptr), fName_String(iName), fIsScopeLine(false)
{
}

StrimW::~StrimW()
{
    pEmit();
}

StrimW::operator bool() const
{
    // Borrowed, not retained: this test runs for every entry, enabled or not, and the sink is not
    // replaced while other threads log (see ZLog.h).
    LogMeister* const meister = spLogMeister().Get();
    if (!meister)
        return false;
    try
    {
        if (fName_CharStar)
            return meister->IsEnabled(fPriority, fName_CharStar);
        return meister->IsEnabled(fPriority, fName_String);
    }
    catch (...)
    {
        return false;
    }
}

void StrimW::Emit()
{
    pEmit();
}

void StrimW::pEmit() noexcept
{
    if (fMessage.empty())
        return;
    try
    {
        if (fName_CharStar)
        {
            fName_String = fName_CharStar;
            fName_CharStar = nullptr;
        }

        size_t depth = ScopeTrace::sDepth();
        if (fIsScopeLine && depth > 0)
            --depth;

        if (const ZRef<LogMeister> meister = sGetLogMeister())
            meister->LogLine(fPriority, fName_String, depth, fMessage);
    }
    catch (...)
    {
    }
    fMessage.clear();
}

void StrimW::Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const
{
    try
    {
        *oCountCU = sAppendFromUTF32(fMessage, iSource, iCountCU);
    }
    catch (...)
    {
        *oCountCU = 0;
    }
}

void StrimW::Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const
{
    try
    {
        *oCountCU = sAppendFromUTF16(fMessage, iSource, iCountCU);
    }
    catch (...)
    {
        *oCountCU = 0;
    }
}

void StrimW::Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const
{
    *oCountCU = sAppendUnits(fMessage, iSource, iCountCU);
}

// =============================================================================================
// ScopeTrace

ScopeTrace::ScopeTrace(EPriority iPriority, const char* iFunctionName)
    : fCounts(true), fPrior(tInnermost), fPriority(iPriority), fFunctionName(iFunctionName)
{
    tInnermost = this;
    pLog("> ");
}

ScopeTrace::~ScopeTrace()
{
    pLog("< ");
    tInnermost = fPrior;
}

size_t ScopeTrace::sDepth()
{
    size_t depth = 0;
    for (const ScopeTrace* cur = tInnermost; cur; cur = cur->fPrior)
    {
        if (cur->fCounts)
            ++depth;
    }
    return depth;
}

void ScopeTrace::pLog(const char* iPrefix) noexcept
{
    if (!spScopeLineEnabled(fPriority))
        return;
    try
    {
        StrimW entry(fPriority, "ZLF");
        entry.fIsScopeLine = true;
        if (entry)
            entry << iPrefix << fFunctionName;
    }
    catch (...)
    {
    }
}

// =============================================================================================

void sLogTrace(EPriority iPriority, const char* iFile, int iLine, const char* iFunctionName)
{
    try
    {
        StrimW entry(iPriority, "ZLOGTRACE");
        if (!entry)
            return;
        const char* file = iFile;
        for (const char* cur = iFile; *cur; ++cur)
        {
            if (*cur == '\\' || *cur == '/')
                file = cur + 1;
        }
        entry << file << ":" << iLine << ", in " << iFunctionName;
    }
    catch (...)
    {
    }
}

} // namespace ZLog
} // namespace Morvek
