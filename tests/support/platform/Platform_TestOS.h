// The tests' platform layer, operating-system facility: what the C++ tests need of the system
// beyond the standard library (the process's set-up, the Wine check, descriptors and pipes),
// implemented per system (Platform_TestOS_posix.cpp, _win.cpp; the build picks one), so that the
// suites build for every system without system headers of their own. The suites call these
// functions directly; the other shared helpers stay in quillane::test (TestUtil.h; TestUdp.h,
// whose socket calls are this folder's Platform_TestUdp_<os>.cpp). Any thread.

#ifndef QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTOS_H
#define QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTOS_H

#include <cstddef>
#include <cstdio>

namespace quillane::test::Platform
{

// Called by the tests' main before anything else: makes the process behave the same on every
// system for the tests (on Windows: standard output and error pass bytes unchanged, as on
// POSIX, so captured output and test listings have no carriage returns; failures end the
// program instead of opening error dialogs).
void sTestOS_PrepareProcess();

// True when the program runs under Wine rather than on Windows itself (always false on other
// systems). Tests of behaviour that only real Windows has (Wine's firewall objects are stubs,
// it reports every user as an administrator) skip themselves under Wine, saying why:
//   if (quillane::test::Platform::sTestOS_RunningUnderWine())
//       GTEST_SKIP() << "needs real Windows: <what Wine lacks>";
bool sTestOS_RunningUnderWine();

// An anonymous pipe: oFDs[0] reads, oFDs[1] writes. False when none could be made.
bool sTestOS_Pipe(int oFDs[2]);

// A stdio stream over the open descriptor iFD, which it then owns: fclose closes both. Null on
// failure.
FILE* sTestOS_FDOpen(int iFD, const char* iMode);

// Whether iFD names an open descriptor.
bool sTestOS_IsOpen(int iFD);

// Reads at most iCount bytes: the count read, 0 at the end, -1 on failure.
long sTestOS_Read(int iFD, void* oDest, size_t iCount);

void sTestOS_Close(int iFD);

} // namespace quillane::test::Platform

#endif // QUILLANE_TESTS_SUPPORT_PLATFORM_PLATFORM_TESTOS_H
