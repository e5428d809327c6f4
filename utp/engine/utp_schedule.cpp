// Timer scheduling for UTP_CheckTimeouts: connections with work to do sit in the active list and
// are stepped at every sweep; quiet ones (nothing in the send buffer, no ACK owed) sleep in a
// min-heap keyed by their next deadline, so a sweep costs O(active + due) instead of touching
// every connection. Any operation on a connection wakes it (sTouch), so a sleeper never misses
// an event; deadlines only come from its own fields.
//
// Invariants: every live connection is in exactly one of the two structures; fActivePos and
// fHeapPos say where. Wake times lie within a minute of the current time, so comparing them by
// signed 32-bit difference orders them correctly across the counter's wrap.
//
// Threads: one at a time (the caller serialises every engine call).

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

struct Sleeper
{
    uint32_t fWake;
    UTPSocket* fSocket;
};

struct Schedule
{
    UTPSocket** fActive = nullptr;
    uint32_t fActiveCount = 0;
    uint32_t fActiveCapacity = 0;
    Sleeper* fHeap = nullptr;
    uint32_t fHeapCount = 0;
    uint32_t fHeapCapacity = 0;
};

Schedule sSchedule;

template <class T> void spReserve(T*& ioArray, uint32_t& ioCapacity, uint32_t iNeeded)
{
    if (iNeeded <= ioCapacity)
        return;
    const uint32_t capacity = ioCapacity * 2 > 16 ? ioCapacity * 2 : 16;
    T* grown = static_cast<T*>(std::realloc(ioArray, capacity * sizeof(T)));
    if (!grown)
        std::abort();
    ioArray = grown;
    ioCapacity = capacity;
}

bool spEarlier(const Sleeper& a, const Sleeper& b)
{
    return int32_t(a.fWake - b.fWake) < 0;
}

void spHeapPlace(uint32_t i, const Sleeper& iSleeper)
{
    sSchedule.fHeap[i] = iSleeper;
    iSleeper.fSocket->fHeapPos = int32_t(i);
}

void spHeapUp(uint32_t i)
{
    const Sleeper moving = sSchedule.fHeap[i];
    while (i > 0)
    {
        const uint32_t parent = (i - 1) / 2;
        if (!spEarlier(moving, sSchedule.fHeap[parent]))
            break;
        spHeapPlace(i, sSchedule.fHeap[parent]);
        i = parent;
    }
    spHeapPlace(i, moving);
}

void spHeapDown(uint32_t i)
{
    const Sleeper moving = sSchedule.fHeap[i];
    const uint32_t count = sSchedule.fHeapCount;
    for (;;)
    {
        uint32_t child = 2 * i + 1;
        if (child >= count)
            break;
        if (child + 1 < count && spEarlier(sSchedule.fHeap[child + 1], sSchedule.fHeap[child]))
            ++child;
        if (!spEarlier(sSchedule.fHeap[child], moving))
            break;
        spHeapPlace(i, sSchedule.fHeap[child]);
        i = child;
    }
    spHeapPlace(i, moving);
}

void spHeapRemove(UTPSocket* s)
{
    const uint32_t i = uint32_t(s->fHeapPos);
    s->fHeapPos = -1;
    const uint32_t last = --sSchedule.fHeapCount;
    if (i == last)
        return;
    spHeapPlace(i, sSchedule.fHeap[last]);
    spHeapDown(i);
    spHeapUp(uint32_t(sSchedule.fHeap[i].fSocket->fHeapPos));
}

void spActiveAppend(UTPSocket* s)
{
    spReserve(sSchedule.fActive, sSchedule.fActiveCapacity, sSchedule.fActiveCount + 1);
    s->fActivePos = int32_t(sSchedule.fActiveCount);
    sSchedule.fActive[sSchedule.fActiveCount++] = s;
}

void spActiveRemove(UTPSocket* s)
{
    const uint32_t i = uint32_t(s->fActivePos);
    s->fActivePos = -1;
    const uint32_t last = --sSchedule.fActiveCount;
    if (i != last)
    {
        sSchedule.fActive[i] = sSchedule.fActive[last];
        sSchedule.fActive[i]->fActivePos = int32_t(i);
    }
}

} // namespace

void sScheduleAdd(UTPSocket* s)
{
    s->fHeapPos = -1;
    s->fQuotaCatchUp = false;
    spActiveAppend(s);
}

void sScheduleRemove(UTPSocket* s)
{
    if (s->fHeapPos >= 0)
        spHeapRemove(s);
    else if (s->fActivePos >= 0)
        spActiveRemove(s);
}

void sTouch(UTPSocket* s)
{
    if (s->fHeapPos < 0)
        return;
    spHeapRemove(s);
    spActiveAppend(s);
    sCatchUpQuota(s);
}

void sScheduleSleep(UTPSocket* s, uint32_t iWake)
{
    spActiveRemove(s);
    spReserve(sSchedule.fHeap, sSchedule.fHeapCapacity, sSchedule.fHeapCount + 1);
    s->fQuotaCatchUp = true;
    const uint32_t i = sSchedule.fHeapCount++;
    spHeapPlace(i, Sleeper{iWake, s});
    spHeapUp(i);
}

void sScheduleWakeDue(uint32_t iNow)
{
    while (sSchedule.fHeapCount && sPassed(iNow, sSchedule.fHeap[0].fWake))
    {
        UTPSocket* s = sSchedule.fHeap[0].fSocket;
        spHeapRemove(s);
        spActiveAppend(s);
    }
}

uint32_t sActiveCount()
{
    return sSchedule.fActiveCount;
}

UTPSocket* sActiveAt(uint32_t i)
{
    return sSchedule.fActive[i];
}

void sScheduleClear()
{
    std::free(sSchedule.fActive);
    std::free(sSchedule.fHeap);
    sSchedule = Schedule();
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
