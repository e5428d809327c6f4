// Small helpers the C++ suites share: elapsed time, waiting for a condition, starting threads
// together, and the message of an expected exception. Header only; any thread.

#ifndef QUILLANE_TESTS_SUPPORT_TESTUTIL_H
#define QUILLANE_TESTS_SUPPORT_TESTUTIL_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quillane::test
{

typedef std::chrono::steady_clock Clock;

inline double sSecondsSince(Clock::time_point iStart)
{
    return std::chrono::duration<double>(Clock::now() - iStart).count();
}

inline void sPause(int iMilliseconds = 50)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(iMilliseconds));
}

// Polls iDone every millisecond for up to about iSeconds; its final answer.
template <class F> bool sEventually(F iDone, double iSeconds = 20.0)
{
    const Clock::time_point start = Clock::now();
    while (!iDone() && sSecondsSince(start) < iSeconds)
        sPause(1);
    return iDone();
}

// Runs iBody(t) for t in [0, iThreads) on threads that start together, and joins them.
template <class F> void sRunTogether(int iThreads, F iBody)
{
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < iThreads; ++t)
        threads.emplace_back(
            [&, t]
            {
                ++ready;
                while (ready < iThreads)
                    std::this_thread::yield();
                iBody(t);
            });
    for (auto& t : threads)
        t.join();
}

// The message of the Ex that iOperation throws, or "no exception".
template <class Ex, class F> std::string sWhat(F iOperation)
{
    try
    {
        iOperation();
    }
    catch (const Ex& ex)
    {
        return ex.what();
    }
    return "no exception";
}

} // namespace quillane::test

#endif // QUILLANE_TESTS_SUPPORT_TESTUTIL_H
