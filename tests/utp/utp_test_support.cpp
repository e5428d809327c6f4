// Storage for the shared test fixture's active instance.
#include "utp_test_support.h"

utptest::UtpFixture* utptest::UtpFixture::sActive = nullptr;
