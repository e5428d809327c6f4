// ZLog: prioritised, named log entries and traced function scopes, handed to one process-wide
// sink (a LogMeister).
//
// An entry (ZLog::StrimW) is a text writer that collects its message in a string and hands it
// to the sink when emitted or destroyed, if anything was written. Test the entry as a bool first
// and write to it only when it is true; writing to a disabled entry is harmless but wasted.
// Logging never throws into the caller: failures inside an entry or the sink lose the line.
//
// Threads: any thread may log. The sink is read by retaining it, without a lock, so it may be
// replaced only while no other thread logs (the module installs it once, during initialisation,
// before any other thread of the system exists). The slot holding it is never destroyed, so a
// thread that logs while the process exits still finds a live sink. Scope traces are kept per
// thread, so indentation shows only the logging thread's nesting.

#ifndef QUILLANE_MORVEK_ZLOG_H
#define QUILLANE_MORVEK_ZLOG_H

#include "morvek/ZCounted.h"
#include "morvek/ZDebug.h"
#include "morvek/ZStrim.h"

namespace Morvek
{
namespace ZLog
{

// Smaller is more urgent.
typedef int EPriority;
enum
{
    ePriority_Emerg = 0,
    ePriority_Alert = 1,
    ePriority_Crit = 2,
    ePriority_Err = 3,
    ePriority_Warning = 4,
    ePriority_Notice = 5,
    ePriority_Info = 6,
    ePriority_Debug = 7
};

// "Emerg" .. "Debug"; above 7 "Debug+n" for the excess n; negative ones as the number.
string8 sPriorityToString(EPriority iPriority);
// The priority of one of the eight names; -1 for any other text.
EPriority sPriorityFromString(const string8& iString);

// ---------------------------------------------------------------------------------------------
// The sink

class LogMeister : public ZCounted
{
  public:
    virtual bool IsEnabled(EPriority iPriority, const char* iName);
    virtual bool IsEnabled(EPriority iPriority, const string8& iName);
    // iDepth: nesting of traced scopes on the logging thread. Called on the logging thread.
    virtual void LogLine(EPriority iPriority, const string8& iName, size_t iDepth,
                         const string8& iMessage) = 0;
};

// The process-wide sink, null until installed. See the note on threads above.
ZRef<LogMeister> sGetLogMeister();
// Installs iLogMeister (retaining it), then releases the sink it replaces.
void sSetLogMeister(const ZRef<LogMeister>& iLogMeister);

// ---------------------------------------------------------------------------------------------
// A log entry

class StrimW : public ZStrimW
{
  public:
    // iName must outlive the entry (a literal, typically).
    StrimW(EPriority iPriority, const char* iName);
    StrimW(EPriority iPriority, const string8& iName);
    ~StrimW() override;

    StrimW(const StrimW&) = delete;
    StrimW& operator=(const StrimW&) = delete;

    // True when a sink is installed and enabled for this entry's priority and name.
    explicit operator bool() const;

    // Hands what was written so far to the sink as one line and starts an empty message.
    void Emit();

    void Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override;

  private:
    friend class ScopeTrace;
    void pEmit() noexcept;

    const EPriority fPriority;
    const char* fName_CharStar; // null once the name is in fName_String
    string8 fName_String;
    mutable string8 fMessage; // the writer interface is const; the message is its destination
    bool fIsScopeLine;        // the "> " and "< " lines of a scope trace
};

// ---------------------------------------------------------------------------------------------
// A traced scope: "> name" when entered and "< name" when left, under the entry name "ZLF", at
// the depth of the enclosing scope; lines logged inside it stand one level deeper. Must be
// destroyed on the thread that made it, in reverse order of construction (as a local is).

class ScopeTrace
{
  public:
    // iFunctionName must outlive the trace (a literal, typically).
    ScopeTrace(EPriority iPriority, const char* iFunctionName);
    ~ScopeTrace();

    ScopeTrace(const ScopeTrace&) = delete;
    ScopeTrace& operator=(const ScopeTrace&) = delete;

    // Traced scopes enclosing the calling thread, this one included if it is live.
    static size_t sDepth();

  private:
    void pLog(const char* iPrefix) noexcept;

    bool fCounts; // always set: the record counts towards the depth
    ScopeTrace* fPrior;
    const EPriority fPriority;
    const char* fFunctionName;
};

// The trace line: an entry named "ZLOGTRACE" with "file:line, in function", the file being the
// path after its last separator.
void sLogTrace(EPriority iPriority, const char* iFile, int iLine, const char* iFunctionName);

} // namespace ZLog
} // namespace Morvek

#define ZLOGTRACE(priority)                                                                        \
    ::Morvek::ZLog::sLogTrace(priority, __FILE__, __LINE__, ZMACRO_PrettyFunction)

#endif // QUILLANE_MORVEK_ZLOG_H
