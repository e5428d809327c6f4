// Platform layer, address facility, POSIX variant: the system's socket-address headers. Included
// only through Platform_Address.h.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_POSIX_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_POSIX_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_POSIX_H
