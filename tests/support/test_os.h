// What the C++ tests need of the operating system beyond the standard library: the process's
// set-up, file descriptors and pipes. Declared once here and implemented per OS (test_os_posix.cpp,
// test_os_win.cpp; the build picks one), so that the suites build for every OS without
// including system headers of their own. Any thread.

#ifndef QUILLANE_TESTS_SUPPORT_TEST_OS_H
#define QUILLANE_TESTS_SUPPORT_TEST_OS_H

#include <cstddef>
#include <cstdio>

namespace quillane::test
{

// Called by the tests' main before anything else: makes the process behave the same on every
// system for the tests (on Windows: standard output and error pass bytes unchanged, as on
// POSIX, so captured output and test listings have no carriage returns; failures end the
// program instead of opening error dialogs).
void sPrepareTestProcess();

// True when the program runs under Wine rather than on Windows itself (always false on other
// systems). Tests of behaviour that only real Windows has (Wine's firewall objects are stubs,
// it reports every user as an administrator) skip themselves under Wine, saying why:
//   if (quillane::test::sRunningUnderWine())
//       GTEST_SKIP() << "needs real Windows: <what Wine lacks>";
bool sRunningUnderWine();

// An anonymous pipe: oFDs[0] reads, oFDs[1] writes. False when none could be made.
bool sPipe(int oFDs[2]);

// A stdio stream over the open descriptor iFD, which it then owns: fclose closes both. Null on
// failure.
FILE* sFDOpen(int iFD, const char* iMode);

// Whether iFD names an open descriptor.
bool sIsOpen(int iFD);

// Reads at most iCount bytes: the count read, 0 at the end, -1 on failure.
long sRead(int iFD, void* oDest, size_t iCount);

void sClose(int iFD);

} // namespace quillane::test

#endif // QUILLANE_TESTS_SUPPORT_TEST_OS_H
