// The engine's platform layer: the raw clock readings, an entropy seed and the conversions between
// socket addresses and PeerAddress (whose address-family numbers differ between platforms).
//
// Clocks and seed: one implementation file per system (utp_platform_posix.cpp,
// utp_platform_win.cpp; the build picks one). The address conversions declared in utp.h are
// written once, in utp_platform_sockaddr.cpp, over utp_platform_sockets.h. Nothing else in the
// engine includes a system networking or time header.
//
// Threads: all functions are safe to call from any thread; they keep no state.

#ifndef QUILLANE_UTP_ENGINE_UTP_PLATFORM_H
#define QUILLANE_UTP_ENGINE_UTP_PLATFORM_H

#include <cstdint>

// Monotonic millisecond tick.
uint64_t UTPPlatform_TickMilliseconds();
// High-resolution monotonic counter and its counts per second.
uint64_t UTPPlatform_Counter();
uint64_t UTPPlatform_CounterFrequency();
// 64 bits from the operating system's entropy source (falls back to clock bits).
uint64_t UTPPlatform_EntropySeed();

#endif // QUILLANE_UTP_ENGINE_UTP_PLATFORM_H
