// DelayHistory: one-way delay samples of a connection, split into a base (the smallest sample
// of the last 13 minutes, one slot per minute) and the current delay above it (the smallest of
// the last three samples). The congestion window follows the current delay; the base absorbs
// the offset between the two ends' clocks.
//
// Units: samples are µs on the 32-bit wrapping microsecond clock, compared on the circle
// (sWrappingLess); times (the minute slots) are ms of the engine's 32-bit clock.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_DELAY_HISTORY_H
#define QUILLANE_UTP_ENGINE_UTP_DELAY_HISTORY_H

#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// iA before iB on the 32-bit circle.
inline bool sWrappingLess(uint32_t iA, uint32_t iB)
{
    return uint32_t(iB - iA) < uint32_t(iA - iB);
}

struct DelayHistory
{
    uint32_t fBase;            // µs: the smallest entry of fBaseHistory
    uint32_t fCurrent[3];      // µs: the last three samples, each less the base of its time
    uint32_t fCurrentIndex;    // the slot of fCurrent the next sample takes
    uint32_t fBaseHistory[13]; // µs: the smallest sample of each of the last 13 minutes
    uint32_t fBaseIndex;       // the slot of the current minute
    uint32_t fBaseTime;        // ms: when the current minute began
    bool fInitialised;         // a sample has been added since Clear

    // Empty, its first minute beginning at iNow (ms).
    void Clear(uint32_t iNow);
    // A sample (µs) taken at iNow (ms).
    void Add(uint32_t iSample, uint32_t iNow);
    // Moves the base (every minute's slot) up by iDelta µs.
    void Shift(uint32_t iDelta);
    // µs: the current delay above the base.
    uint32_t Value() const;
};

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_DELAY_HISTORY_H
