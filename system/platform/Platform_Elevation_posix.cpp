// Elevation on POSIX systems. Administrator rights are those of the effective user root.
//
// A program is started elevated directly when the caller is already root; otherwise through
// pkexec, the desktop's consent prompt, when a usable one is installed; otherwise not at all.
// The parameter text is split by the Windows rules (CommandLine.h) into the program's
// arguments; no shell sees it. Like a program started from Windows' shell with its own console,
// the program runs in a session of its own with its standard input on /dev/null, so neither it
// nor pkexec can ever wait for an answer on the caller's terminal; standard output and error
// are shared. Signals the interpreter ignores (SIGPIPE, SIGXFSZ) are default again in the
// program, and no descriptor of the caller reaches it beyond the first three.
//
// Working directory: as root, and through a pkexec of polkit 121 or later (given --keep-cwd),
// the program starts in the caller's current directory, where a program started elevated on
// Windows begins too. An older pkexec knows no --keep-cwd (it would take it as the program's
// name), so it is not given it, and then starts the program in the target user's home
// directory: root's, normally /root. Only relative arguments feel that; the program itself is
// always named by an absolute path (spResolveProgram), which no working directory changes and
// pkexec never mistakes for an option. Which kind of pkexec is installed is asked once per
// process (`pkexec --version`, run without a shell, limited in time and output) and kept.

#include "system/CommandLine.h"
#include "system/platform/Platform_Elevation.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quillane
{
namespace system
{
namespace Platform
{

using namespace Morvek;

namespace
{

// Only a root-owned set-user-id pkexec can grant root rights; fixed places keep the caller's
// environment from choosing which program is asked to.
const char* const kPkexecPaths[] = {"/usr/bin/pkexec", "/bin/pkexec"};

// What is read of `pkexec --version` ("pkexec version 121\n" is 19 bytes), and how long it may
// take, in seconds, to answer and end; one that does not is killed and counts as old.
const size_t kVersionOutputMax = 256;
const time_t kVersionDeadlineSeconds = 3;

bool spIsExecutableFile(const string8& iPath)
{
    struct stat st;
    return ::stat(iPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// A pkexec that can grant root rights and that the caller may run, or null.
const char* spUsablePkexec()
{
    for (const char* path : kPkexecPaths)
    {
        struct stat st;
        if (::stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
            (st.st_mode & S_ISUID) != 0 && ::access(path, X_OK) == 0)
        {
            return path;
        }
    }
    return nullptr;
}

string8 spCurrentDirectory()
{
    std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
    return cwd ? string8(cwd.get()) : string8();
}

// The program as an absolute path to an executable file, or empty when there is none. A path
// with a slash is taken from the current directory; a bare name is looked for in the system's
// standard program directories (not in the caller's PATH: the module reads no environment).
// Absolute, it can never be mistaken for one of pkexec's options.
string8 spResolveProgram(const string8& iFile)
{
    if (iFile.empty())
        return string8();
    if (iFile.find('/') != string8::npos)
    {
        string8 path = iFile;
        if (path[0] != '/')
        {
            const string8 cwd = spCurrentDirectory();
            if (cwd.empty() || cwd[0] != '/')
                return string8();
            path = cwd + "/" + iFile;
        }
        return spIsExecutableFile(path) ? path : string8();
    }
    const size_t size = ::confstr(_CS_PATH, nullptr, 0);
    string8 dirs(size, '\0');
    if (size == 0 || ::confstr(_CS_PATH, &dirs[0], size) != size)
        return string8();
    dirs.resize(size - 1);
    for (size_t start = 0; start <= dirs.size();)
    {
        size_t colon = dirs.find(':', start);
        if (colon == string8::npos)
            colon = dirs.size();
        const string8 dir = dirs.substr(start, colon - start);
        if (!dir.empty() && dir[0] == '/' && spIsExecutableFile(dir + "/" + iFile))
            return dir + "/" + iFile;
        start = colon + 1;
    }
    return string8();
}

// Owns the spawn attributes and file actions of one start.
class SpawnSetup
{
  public:
    SpawnSetup()
    {
        ::posix_spawn_file_actions_init(&fActions);
        ::posix_spawnattr_init(&fAttributes);
    }
    ~SpawnSetup()
    {
        ::posix_spawn_file_actions_destroy(&fActions);
        ::posix_spawnattr_destroy(&fAttributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // False when any part of the set-up fails (then nothing may be started). A descriptor
    // iStdout of 0 or more becomes the program's standard output.
    bool Prepare(int iStdout = -1)
    {
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        bool ok = ::posix_spawnattr_setflags(&fAttributes, POSIX_SPAWN_SETSID |
                                                               POSIX_SPAWN_SETSIGMASK |
                                                               POSIX_SPAWN_SETSIGDEF) == 0 &&
                  ::posix_spawnattr_setsigmask(&fAttributes, &none) == 0 &&
                  ::posix_spawnattr_setsigdefault(&fAttributes, &defaults) == 0 &&
                  ::posix_spawn_file_actions_addopen(&fActions, STDIN_FILENO, "/dev/null",
                                                     O_RDONLY, 0) == 0;
        if (iStdout >= 0) // before the closing below, which would take it away
            ok = ok && ::posix_spawn_file_actions_adddup2(&fActions, iStdout, STDOUT_FILENO) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        ok = ok && ::posix_spawn_file_actions_addclosefrom_np(&fActions, STDERR_FILENO + 1) == 0;
#endif
        return ok;
    }

    posix_spawn_file_actions_t fActions;
    posix_spawnattr_t fAttributes;
};

// Starts iPath with iArgs as its argument vector, its standard output on iStdout when that is 0
// or more; false when it cannot be started.
bool spSpawn(const string8& iPath, const std::vector<string8>& iArgs, pid_t& oPid, int iStdout = -1)
{
    std::vector<char*> argv;
    for (const string8& arg : iArgs)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    SpawnSetup setup;
    return setup.Prepare(iStdout) && ::posix_spawn(&oPid, iPath.c_str(), &setup.fActions,
                                                   &setup.fAttributes, argv.data(), environ) == 0;
}

// Waits for iPid's end; with WNOHANG answers at once whether it has ended. ECHILD counts as
// ended: with SIGCHLD ignored the system reaps the program itself and reports that only once
// it has ended.
bool spReaped(pid_t iPid, int iOptions)
{
    for (;;)
    {
        int status;
        const pid_t result = ::waitpid(iPid, &status, iOptions);
        if (result >= 0 || errno != EINTR)
            return result != 0;
    }
}

// Starts iPath with iArgs as its argument vector and waits, without a time limit, for its end;
// returns at once when it cannot be started.
void spSpawnAndWait(const string8& iPath, const std::vector<string8>& iArgs)
{
    pid_t pid;
    if (spSpawn(iPath, iArgs, pid))
        spReaped(pid, 0);
}

// Deadlines are on the monotonic clock, which no change of the system's time moves.
timespec spDeadlineIn(time_t iSeconds)
{
    timespec result;
    ::clock_gettime(CLOCK_MONOTONIC, &result);
    result.tv_sec += iSeconds;
    return result;
}

int spMillisecondsUntil(const timespec& iDeadline)
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long left =
        (iDeadline.tv_sec - now.tv_sec) * 1000 + (iDeadline.tv_nsec - now.tv_nsec) / 1000000;
    return left > 0 ? static_cast<int>(left) : 0;
}

// What can be read from iFd before its end, iMax bytes or the deadline, whichever comes first.
string8 spReadBounded(int iFd, size_t iMax, const timespec& iDeadline)
{
    string8 result;
    char buffer[kVersionOutputMax];
    while (result.size() < iMax)
    {
        pollfd readable = {iFd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, spMillisecondsUntil(iDeadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t count = ::read(iFd, buffer, std::min(sizeof buffer, iMax - result.size()));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        result.append(buffer, count);
    }
    return result;
}

// Reaps iPid, killing it first when it has not ended by the deadline; answers whether it ended
// by itself.
bool spReapedByDeadline(pid_t iPid, const timespec& iDeadline)
{
    for (;;)
    {
        if (spReaped(iPid, WNOHANG))
            return true;
        if (spMillisecondsUntil(iDeadline) == 0)
            break;
        const timespec pause = {0, 10 * 1000000};
        ::nanosleep(&pause, nullptr);
    }
    // A pkexec that could not be killed is left to end unreaped rather than waited for.
    if (::kill(iPid, SIGKILL) == 0)
        spReaped(iPid, 0);
    return false;
}

// What iPkexec --version writes on its standard output when it answers and ends in time, else
// the empty text.
string8 spVersionOutput(const char* iPkexec)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return string8();
    const timespec deadline = spDeadlineIn(kVersionDeadlineSeconds);
    pid_t pid;
    const bool started = spSpawn(iPkexec, {iPkexec, "--version"}, pid, pipeEnds[1]);
    ::close(pipeEnds[1]); // the output ends once pkexec's copy is closed too
    string8 output;
    if (started)
        output = spReadBounded(pipeEnds[0], kVersionOutputMax, deadline);
    // Closed before the reaping: a pkexec still writing gets SIGPIPE rather than blocking.
    ::close(pipeEnds[0]);
    if (!started || !spReapedByDeadline(pid, deadline))
        return string8();
    return output;
}

// Whether the installed pkexec takes --keep-cwd; asked of the first one found, once per process.
bool spInstalledPkexecTakesKeepCwd(const char* iPkexec)
{
    static const bool sTakes = sPkexecTakesKeepCwd(spVersionOutput(iPkexec));
    return sTakes;
}

} // namespace

bool sElevation_IsAdministrator()
{
    return ::geteuid() == 0;
}

void sElevation_LaunchAndWait(const string16& iFile, const string16& iParameters)
{
    const string8 file = sUTF8FromUTF16(iFile);
    const string8 program = spResolveProgram(file);
    if (program.empty())
        return;
    const std::vector<string8> arguments = sSplitCommandLine(sUTF8FromUTF16(iParameters));

    std::vector<string8> argv;
    string8 path;
    if (sElevation_IsAdministrator())
    {
        path = program;
        argv.push_back(file);
    }
    else if (const char* pkexec = spUsablePkexec())
    {
        // No text agent of pkexec's own (it would prompt on a terminal); keep the current
        // directory where pkexec can (see the abstract).
        path = pkexec;
        argv = {path, "--disable-internal-agent"};
        if (spInstalledPkexecTakesKeepCwd(pkexec))
            argv.push_back("--keep-cwd");
        argv.push_back(program);
    }
    else
    {
        return;
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    spSpawnAndWait(path, argv);
}

} // namespace Platform
} // namespace system
} // namespace quillane
