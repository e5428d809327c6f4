// The main of every C++ test program: the process is prepared the same way on every system
// (test_os.h), then GoogleTest runs the tests.

#include "tests/support/test_os.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    quillane::test::sPrepareTestProcess();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
