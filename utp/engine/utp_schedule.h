// The timer schedule: which connections a timer sweep (UTP_CheckTimeouts) steps. Connections with
// work to do sit in the active list and are stepped at every sweep; quiet ones (nothing in the
// send buffer, no ACK owed) sleep in a min-heap keyed by their next deadline, so a sweep costs
// O(active + due) instead of touching every connection. Any operation on a connection wakes it
// (sTouch), so a sleeper never misses an event; its deadlines come only from its own fields.
//
// Invariants: every live connection is in exactly one of the two; fBook.fActivePos and
// fBook.fHeapPos say where. Wake times are ms of the engine's clock within a minute of now, so
// comparing them by signed 32-bit difference orders them correctly across the clock's wrap.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_SCHEDULE_H
#define QUILLANE_UTP_ENGINE_UTP_SCHEDULE_H

#include "utp/engine/utp.h"

#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// A new connection starts active.
void sScheduleAdd(UTPSocket* s);
void sScheduleRemove(UTPSocket* s);
// Any operation on a connection wakes it: the next sweep steps it.
void sTouch(UTPSocket* s);
// Moves an active connection to the sleepers until iWake (ms).
void sScheduleSleep(UTPSocket* s, uint32_t iWake);
// Moves every sleeper whose wake time has passed at iNow (ms) to the end of the active list,
// earliest deadline first.
void sScheduleWakeDue(uint32_t iNow);
uint32_t sActiveCount();
UTPSocket* sActiveAt(uint32_t iPosition);
void sScheduleFree();

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_SCHEDULE_H
