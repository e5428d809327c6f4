// A log sink for the tests of the firewall functions: records every line up to a threshold as
// "P<priority> <source>: <message>". Installed by the test that makes it; one thread at a time.

#ifndef __quillane_tests_native_win_RecordingLog_h__
#define __quillane_tests_native_win_RecordingLog_h__ 1

#include "morvek/ZLog.h"

#include <string>
#include <vector>

namespace qntest
{

class RecordingLog : public Morvek::ZLog::LogMeister
{
  public:
    typedef Morvek::ZLog::EPriority EPriority;

    bool IsEnabled(EPriority iPriority, const char*) override { return iPriority <= fThreshold; }
    bool IsEnabled(EPriority iPriority, const std::string&) override
    {
        return iPriority <= fThreshold;
    }
    void LogLine(EPriority iPriority, const std::string& iName, size_t,
                 const std::string& iText) override
    {
        fLines.push_back("P" + std::to_string(iPriority) + " " + iName + ": " + iText);
    }

    EPriority fThreshold = 7;
    std::vector<std::string> fLines;
};

} // namespace qntest

#endif // __quillane_tests_native_win_RecordingLog_h__
