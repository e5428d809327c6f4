// The connection list. See utp_connection_list.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_connection_list.h"
#include "utp/engine/utp_memory.h"
#include "utp/engine/utp_socket.h"

#include <cstdlib>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

struct ConnectionList
{
    UTPSocket** fConns = nullptr;
    uint32_t fCount = 0;    // records in fConns
    uint32_t fCapacity = 0; // room in fConns
};

ConnectionList sList;

} // namespace

void sConnectionListAdd(UTPSocket* s)
{
    sReserve(sList.fConns, sList.fCapacity, sList.fCount + 1);
    s->fBook.fIndex = sList.fCount;
    sList.fConns[sList.fCount++] = s;
}

void sConnectionListRemove(UTPSocket* s)
{
    const uint32_t last = --sList.fCount;
    if (s->fBook.fIndex != last)
    {
        sList.fConns[s->fBook.fIndex] = sList.fConns[last];
        sList.fConns[s->fBook.fIndex]->fBook.fIndex = s->fBook.fIndex;
    }
}

uint32_t sConnectionListCount()
{
    return sList.fCount;
}

UTPSocket* sConnectionListAt(uint32_t iIndex)
{
    return sList.fConns[iIndex];
}

void sConnectionListFree()
{
    std::free(sList.fConns);
    sList = ConnectionList();
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
