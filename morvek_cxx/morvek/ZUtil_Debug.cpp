// ZUtil_Debug: the line meister, its line format and its installation on standard output.

#include "morvek/ZUtil_Debug.h"

#include "morvek/ZStream.h"
#include "morvek/ZStrim_Stream.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Thread.h"

#include <algorithm>
#include <cstdio>

namespace Morvek
{
namespace ZUtil_Debug
{

namespace
{

struct CivilDate
{
    int64_t fYear;
    unsigned fMonth; // 1..12
    unsigned fDay;   // 1..31
};

// The proleptic Gregorian date of a count of days since 1970-01-01, for any count.
CivilDate spCivilFromDays(int64_t iDays)
{
    // Counted in 400-year eras starting on 0000-03-01, so that the leap day ends each year.
    const int64_t z = iDays + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
    CivilDate result;
    result.fDay = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    result.fMonth = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    result.fYear = yearOfEra + era * 400 + (result.fMonth <= 2 ? 1 : 0);
    return result;
}

int64_t spFloorDiv(int64_t iNumerator, int64_t iDenominator)
{
    const int64_t quotient = iNumerator / iDenominator;
    return (iNumerator % iDenominator < 0) ? quotient - 1 : quotient;
}

} // anonymous namespace

string8 sFormatLine(int64_t iSeconds, int32_t iMicroseconds, ZThread::ID iThreadID,
                    ZLog::EPriority iPriority, const string8& iName, size_t iDepth,
                    const string8& iMessage, size_t iNameWidth)
{
    const int64_t days = spFloorDiv(iSeconds, 86400);
    const int64_t secondOfDay = iSeconds - days * 86400;
    const CivilDate date = spCivilFromDays(days);

    char prefix[128];
    const int prefixLength =
        std::snprintf(prefix, sizeof(prefix), "%04lld-%02u-%02u %02d:%02d:%02d.%06d 0x%08llX P%X ",
                      static_cast<long long>(date.fYear), date.fMonth, date.fDay,
                      static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                      static_cast<int>(secondOfDay % 60), static_cast<int>(iMicroseconds),
                      static_cast<unsigned long long>(iThreadID), static_cast<unsigned>(iPriority));

    const size_t nameCP = sCountCP(iName.data(), iName.size());
    const size_t fill = nameCP < iNameWidth ? iNameWidth - nameCP : 0;

    string8 line;
    line.reserve(prefixLength + fill + iName.size() + 3 + 4 * iDepth + iMessage.size() + 1);
    line.append(prefix, std::min<size_t>(std::max(prefixLength, 0), sizeof(prefix) - 1));
    line.append(fill, ' ');
    line += iName;
    line += " - ";
    line.append(4 * iDepth, ' ');
    line += iMessage;
    line += '\n';
    return line;
}

// =============================================================================================

LineMeister::LineMeister() : fLogPriority(ZLog::ePriority_Notice), fNameWidth(20) {}

bool LineMeister::IsEnabled(ZLog::EPriority iPriority, const char* iName)
{
    (void)iName;
    return iPriority <= fLogPriority.load(std::memory_order_relaxed);
}

bool LineMeister::IsEnabled(ZLog::EPriority iPriority, const string8& iName)
{
    (void)iName;
    return iPriority <= fLogPriority.load(std::memory_order_relaxed);
}

void LineMeister::LogLine(ZLog::EPriority iPriority, const string8& iName, size_t iDepth,
                          const string8& iMessage)
{
    if (iPriority > fLogPriority.load(std::memory_order_relaxed))
        return;

    // The time is read under the lock, so that lines appear in the order of their time stamps.
    ZGuardMtx guard(fMutex);
    if (!fStrimmerW)
        return;
    int64_t seconds;
    int32_t microseconds;
    Platform::sClock_UTC(seconds, microseconds);
    const string8 line = sFormatLine(seconds, microseconds, ZThread::sID(), iPriority, iName,
                                     iDepth, iMessage, fNameWidth);
    const ZStrimW& strimW = fStrimmerW->GetStrimW();
    strimW.Write(line);
    strimW.Flush();
}

void LineMeister::SetStrimmer(const ZRef<ZStrimmerW>& iStrimmerW)
{
    ZRef<ZStrimmerW> prior;
    {
        ZGuardMtx guard(fMutex);
        prior = fStrimmerW;
        fStrimmerW = iStrimmerW;
    }
    // The old writer is released outside the lock: its destruction may flush or close.
}

void LineMeister::SetLogPriority(ZLog::EPriority iLogPriority)
{
    fLogPriority.store(iLogPriority, std::memory_order_relaxed);
}

ZLog::EPriority LineMeister::GetLogPriority() const
{
    return fLogPriority.load(std::memory_order_relaxed);
}

// =============================================================================================

namespace
{

// The sink sInstallLogMeister made last. A fork while another thread writes a line would leave
// its lock held in the child for good, so the fork waits for the line to end: its lock is taken
// before the fork and given up on both sides.
std::atomic<LineMeister*> sInstalled(nullptr);

} // namespace

void LineMeister::spForkPrepare()
{
    if (LineMeister* meister = sInstalled.load())
        meister->fMutex.Acquire();
}

void LineMeister::spForkDone()
{
    if (LineMeister* meister = sInstalled.load())
        meister->fMutex.Release();
}

void sInstallLogMeister()
{
    static const bool sAtFork =
        (Platform::sThread_AtFork(&LineMeister::spForkPrepare, &LineMeister::spForkDone,
                                  &LineMeister::spForkDone),
         true);
    (void)sAtFork;
    try
    {
        const ZRef<ZStreamerW> streamerW = new ZStreamerW_T<ZStreamW_FILE>(stdout);
        const ZRef<LineMeister> meister = new LineMeister;
        meister->SetStrimmer(new ZStrimmerW_Streamer_T<ZStrimW_StreamUTF8>(streamerW));
        // Published before the slot releases an earlier sink, which may die there.
        sInstalled.store(meister.Get());
        ZLog::sSetLogMeister(meister);
    }
    catch (...)
    {
        // Without memory for the sink the log stays as it was; importing must not fail for it.
    }
}

void sSetLogPriority(ZLog::EPriority iLogPriority)
{
    const ZRef<ZLog::LogMeister> meister = ZLog::sGetLogMeister();
    if (LineMeister* ours = dynamic_cast<LineMeister*>(meister.Get()))
        ours->SetLogPriority(iLogPriority);
}

} // namespace ZUtil_Debug
} // namespace Morvek
