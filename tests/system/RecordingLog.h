// A log sink for the tests of the firewall functions: records every line of priority 7 or more
// urgent as "P<priority> <source>: <message>". Installed by the test that makes it; one thread at
// a time.

#ifndef QUILLANE_TESTS_SYSTEM_RECORDINGLOG_H
#define QUILLANE_TESTS_SYSTEM_RECORDINGLOG_H

#include "morvek/ZLog.h"

#include <string>
#include <vector>

namespace quillane::test
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

} // namespace quillane::test

#endif // QUILLANE_TESTS_SYSTEM_RECORDINGLOG_H
