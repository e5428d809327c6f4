// The timer schedule: the active list and the wake heap. See utp_schedule.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_schedule.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_congestion.h"
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

struct Sleeper
{
    uint32_t fWake;     // ms of the engine's clock
    UTPSocket* fSocket; // whose fHeapPos is this sleeper's position
};

struct Schedule
{
    UTPSocket** fActive = nullptr; // stepped at every sweep
    uint32_t fActiveCount = 0;
    uint32_t fActiveCapacity = 0;
    Sleeper* fHeap = nullptr; // a min-heap by fWake: every parent wakes no later than its children
    uint32_t fHeapCount = 0;
    uint32_t fHeapCapacity = 0;
};

Schedule sSchedule;

bool spEarlier(const Sleeper& iA, const Sleeper& iB)
{
    return int32_t(iA.fWake - iB.fWake) < 0;
}

void spHeapPlace(uint32_t iPosition, const Sleeper& iSleeper)
{
    sSchedule.fHeap[iPosition] = iSleeper;
    iSleeper.fSocket->fBook.fHeapPos = int32_t(iPosition);
}

void spHeapUp(uint32_t iPosition)
{
    uint32_t i = iPosition;
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

void spHeapDown(uint32_t iPosition)
{
    uint32_t i = iPosition;
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
    const uint32_t i = uint32_t(s->fBook.fHeapPos);
    s->fBook.fHeapPos = -1;
    const uint32_t last = --sSchedule.fHeapCount;
    if (i == last)
        return;
    spHeapPlace(i, sSchedule.fHeap[last]);
    spHeapDown(i);
    spHeapUp(uint32_t(sSchedule.fHeap[i].fSocket->fBook.fHeapPos));
}

void spActiveAppend(UTPSocket* s)
{
    sReserve(sSchedule.fActive, sSchedule.fActiveCapacity, sSchedule.fActiveCount + 1);
    s->fBook.fActivePos = int32_t(sSchedule.fActiveCount);
    sSchedule.fActive[sSchedule.fActiveCount++] = s;
}

void spActiveRemove(UTPSocket* s)
{
    const uint32_t i = uint32_t(s->fBook.fActivePos);
    s->fBook.fActivePos = -1;
    const uint32_t last = --sSchedule.fActiveCount;
    if (i != last)
    {
        sSchedule.fActive[i] = sSchedule.fActive[last];
        sSchedule.fActive[i]->fBook.fActivePos = int32_t(i);
    }
}

} // namespace

void sScheduleAdd(UTPSocket* s)
{
    s->fBook.fHeapPos = -1;
    s->fCong.fQuotaCatchUp = false;
    spActiveAppend(s);
}

void sScheduleRemove(UTPSocket* s)
{
    if (s->fBook.fHeapPos >= 0)
        spHeapRemove(s);
    else if (s->fBook.fActivePos >= 0)
        spActiveRemove(s);
}

void sTouch(UTPSocket* s)
{
    if (s->fBook.fHeapPos < 0)
        return;
    spHeapRemove(s);
    spActiveAppend(s);
    sCatchUpQuota(s);
}

void sScheduleSleep(UTPSocket* s, uint32_t iWake)
{
    spActiveRemove(s);
    sReserve(sSchedule.fHeap, sSchedule.fHeapCapacity, sSchedule.fHeapCount + 1);
    s->fCong.fQuotaCatchUp = true;
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

UTPSocket* sActiveAt(uint32_t iPosition)
{
    return sSchedule.fActive[iPosition];
}

void sScheduleFree()
{
    std::free(sSchedule.fActive);
    std::free(sSchedule.fHeap);
    sSchedule = Schedule();
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
