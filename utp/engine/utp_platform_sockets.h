// The operating system's socket headers, for code beside the engine that builds or reads socket
// addresses itself (the network simulator, the tests): sockaddr_in and sockaddr_in6, AF_INET
// and AF_INET6 (whose values differ between systems), the byte-order functions and inet_pton.
// Part of the engine's platform layer, so the choice of headers is made here and nowhere else.
// The engine itself never includes it.

#ifndef QUILLANE_UTP_ENGINE_UTP_PLATFORM_SOCKETS_H
#define QUILLANE_UTP_ENGINE_UTP_PLATFORM_SOCKETS_H

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#elif defined(__unix__) || defined(__APPLE__)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#else
#error "No socket headers for this platform"
#endif

#endif // QUILLANE_UTP_ENGINE_UTP_PLATFORM_SOCKETS_H
