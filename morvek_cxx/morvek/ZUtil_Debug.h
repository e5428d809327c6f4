// ZUtil_Debug: the library's log sink, the LineMeister (a ZLog::LogMeister). It writes one UTF-8
// line per entry through a text writer (standard output, once installed), in this form:
//
//   2024-01-31 12:34:05.250000 0x0000ABCD P6                  ZLF - > quillane::sUTP_Close
//
// UTC date and time with microseconds, the thread id as eight hex digits, the priority in hex,
// the entry's name right-aligned in 20 columns (counted in code points; longer names are kept
// whole), four spaces per level of scope depth, the message.
//
// Threads: LogLine may be called from any thread; the meister's mutex makes each line whole and
// guards the writer. Lock order: a caller may hold its own lock (the uTP layer's) when it logs;
// the meister's mutex is taken last and nothing is taken while holding it.

#ifndef QUILLANE_MORVEK_ZUTIL_DEBUG_H
#define QUILLANE_MORVEK_ZUTIL_DEBUG_H

#include "morvek/ZLog.h"
#include "morvek/ZStrimmer.h"
#include "morvek/ZThread.h"

#include <atomic>

namespace Morvek
{
namespace ZUtil_Debug
{

class LineMeister : public ZLog::LogMeister
{
  public:
    LineMeister();

    // True when the priority is at most the threshold; the name is not consulted.
    bool IsEnabled(ZLog::EPriority iPriority, const char* iName) override;
    bool IsEnabled(ZLog::EPriority iPriority, const string8& iName) override;
    void LogLine(ZLog::EPriority iPriority, const string8& iName, size_t iDepth,
                 const string8& iMessage) override;

    // The writer lines go to; null drops them.
    void SetStrimmer(const ZRef<ZStrimmerW>& iStrimmerW);

    // Entries of a greater priority are dropped. Initially 5.
    void SetLogPriority(ZLog::EPriority iLogPriority);
    ZLog::EPriority GetLogPriority() const;

  private:
    friend void sInstallLogMeister();
    static void spForkPrepare();
    static void spForkDone();

    ZMutex fMutex;
    ZRef<ZStrimmerW> fStrimmerW; // guarded by fMutex
    std::atomic<ZLog::EPriority> fLogPriority;
    const size_t fNameWidth;
};

// One line of the log, "\n" included, for a time given as UTC seconds since 1970 and
// microseconds.
string8 sFormatLine(int64_t iSeconds, int32_t iMicroseconds, ZThread::ID iThreadID,
                    ZLog::EPriority iPriority, const string8& iName, size_t iDepth,
                    const string8& iMessage, size_t iNameWidth = 20);

// Makes a LineMeister writing to the process's standard output the process-wide sink, replacing
// (and releasing) any earlier one. When it cannot be made the log stays as it was.
void sInstallLogMeister();

// Sets the threshold of the installed sink when it is one of these; otherwise does nothing.
void sSetLogPriority(ZLog::EPriority iLogPriority);

} // namespace ZUtil_Debug
} // namespace Morvek

#endif // QUILLANE_MORVEK_ZUTIL_DEBUG_H
