// Storage for the shared test fixture's active instance.
#include "utp_test_support.h"

utptest::UtpFixture* utptest::UtpFixture::sActive = nullptr;
const sockaddr_in utptest::UtpFixture::kPeer = utptest::sAddr4("127.0.0.2", 2000);
