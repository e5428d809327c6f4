// The main of every C++ test program: the process is prepared the same way on every system
// (platform/Platform_TestOS.h), then GoogleTest runs the tests.

#include "tests/support/platform/Platform_TestOS.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    quillane::test::Platform::sTestOS_PrepareProcess();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
