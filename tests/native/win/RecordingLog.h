// A log sink for the tests of the firewall functions: records every line of priority 7 or more
// urgent as "P<priority> <source>: <message>". Installed by the test that makes it; one thread at
// a time.

#ifndef __quillane_tests_native_win_RecordingLog_h__
#define __quillane_tests_native_win_RecordingLog_h__ 1

#include "morvek/ZLog.h"

#include <string>
#include <vector>

namespace qntest
{

struct RecordingLog : Morvek::ZLog::LogMeister
{
    void LogLine(Morvek::ZLog::EPriority iPriority, const std::string& iName, size_t,
                 const std::string& iText) override
    {
        if (iPriority <= Morvek::ZLog::ePriority_Debug)
            fLines.push_back("P" + std::to_string(iPriority) + " " + iName + ": " + iText);
    }

    std::vector<std::string> fLines;
};

} // namespace qntest

#endif // __quillane_tests_native_win_RecordingLog_h__
