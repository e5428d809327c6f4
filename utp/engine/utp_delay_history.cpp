// Delay histories. See utp_delay_history.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_delay_history.h"

#include <climits>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

const uint32_t kMinuteMs = 60000; // ms: the span of one slot of the base history

} // namespace

void DelayHistory::Clear(uint32_t iNow)
{
    fBase = 0;
    fCurrent[0] = fCurrent[1] = fCurrent[2] = 0;
    fCurrentIndex = 0;
    for (uint32_t& slot : fBaseHistory)
        slot = 0;
    fBaseIndex = 0;
    fBaseTime = iNow;
    fInitialised = false;
}

void DelayHistory::Add(uint32_t iSample, uint32_t iNow)
{
    if (!fInitialised)
    {
        for (uint32_t& slot : fBaseHistory)
            slot = iSample;
        fBase = iSample;
        fInitialised = true;
    }
    if (sWrappingLess(iSample, fBaseHistory[fBaseIndex]))
        fBaseHistory[fBaseIndex] = iSample;
    if (sWrappingLess(iSample, fBase))
        fBase = iSample;
    fCurrent[fCurrentIndex] = iSample - fBase;
    fCurrentIndex = (fCurrentIndex + 1) % 3;
    if (iNow - fBaseTime > kMinuteMs)
    {
        fBaseTime = iNow;
        fBaseIndex = (fBaseIndex + 1) % 13;
        fBaseHistory[fBaseIndex] = iSample;
        fBase = fBaseHistory[0];
        for (uint32_t slot : fBaseHistory)
        {
            if (sWrappingLess(slot, fBase))
                fBase = slot;
        }
    }
}

void DelayHistory::Shift(uint32_t iDelta)
{
    for (uint32_t& slot : fBaseHistory)
        slot += iDelta;
    fBase += iDelta;
}

uint32_t DelayHistory::Value() const
{
    uint32_t value = UINT32_MAX;
    for (uint32_t d : fCurrent)
    {
        if (d < value)
            value = d;
    }
    return value;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
