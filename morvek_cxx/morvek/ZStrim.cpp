// ZStrim: decoders, encoders, the chunked conversion of the native writers, the non-virtual
// writes of ZStrimW and printf-style formatting into strings.
//
// Decoding rules shared by every path here:
// - UTF-8: a lead byte gives the sequence length (0x80-0xBF and 0xFE-0xFF lead nothing and are
//   skipped); each following byte must be 0x80-0xBF, else the sequence is abandoned and that byte
//   examined again as a lead. Overlong forms are accepted. A sequence cut off by the end of the
//   input is left unconsumed. Values that are not Unicode scalar values (surrogates, and the
//   values above 0x10FFFF that five- and six-byte forms produce) are skipped.
// - UTF-16: a high surrogate needs a low one behind it, else it is dropped; a high surrogate as
//   the last unit is left unconsumed; a lone low surrogate is dropped.
// - UTF-32: surrogates and values above 0x10FFFF are skipped.
// sIsValidUTF8 alone is strict: a text passes only when the UTF-8 decoder would skip nothing in
// it, leave nothing unconsumed and meet no overlong form.
// Nothing here keeps state between calls; everything is re-entrant.

#include "morvek/ZStrim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Morvek
{

namespace
{

// Native units a writer's converting slots collect before handing them on.
const size_t kChunkUnits = 4096;

inline bool spIsScalar(uint32_t iCP)
{
    return iCP < 0xD800 || (iCP >= 0xE000 && iCP <= 0x10FFFF);
}

// Sequence length announced by a UTF-8 lead byte; 0 when the byte cannot lead.
inline size_t spUTF8Length(uint8_t iLead)
{
    if (iLead < 0x80)
        return 1;
    if (iLead < 0xC0)
        return 0;
    if (iLead < 0xE0)
        return 2;
    if (iLead < 0xF0)
        return 3;
    if (iLead < 0xF8)
        return 4;
    if (iLead < 0xFC)
        return 5;
    if (iLead < 0xFE)
        return 6;
    return 0;
}

// Length of the well-formed sequence at iCur (iAvailable bytes remain), or 0 when none starts
// there. C0, C1 and F5-FF lead nothing well-formed; the leads E0, ED, F0 and F4 narrow the
// range of the byte after them, which rules out overlong forms, surrogates and values above
// 0x10FFFF.
size_t spWellFormedLength(const uint8_t* iCur, size_t iAvailable)
{
    const uint8_t lead = iCur[0];
    if (lead < 0x80)
        return 1;
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || iAvailable < length)
        return 0;
    const uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (iCur[1] < low || iCur[1] > high)
        return 0;
    for (size_t index = 2; index < length; ++index)
    {
        if ((iCur[index] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

// ---------------------------------------------------------------------------------------------
// Decoders. Each finds the next code point at or after ioCur, skipping malformed units, and
// advances ioCur past it. When no complete code point remains it returns false and leaves ioCur
// at the start of an incomplete final sequence, or at iEnd.

bool spDecode(const UTF8*& ioCur, const UTF8* iEnd, UTF32& oCP)
{
    const UTF8* cur = ioCur;
    while (cur < iEnd)
    {
        const uint8_t lead = static_cast<uint8_t>(*cur);
        if (lead < 0x80)
        {
            oCP = lead;
            ioCur = cur + 1;
            return true;
        }
        const size_t length = spUTF8Length(lead);
        if (length == 0)
        {
            ++cur;
            continue;
        }
        // Payload bits of the lead: those below its length marker.
        uint32_t cp = lead & (0x7Fu >> length);
        const size_t available = std::min<size_t>(length, iEnd - cur);
        size_t index = 1;
        for (; index < available; ++index)
        {
            const uint8_t trail = static_cast<uint8_t>(cur[index]);
            if ((trail & 0xC0) != 0x80)
                break;
            cp = (cp << 6) | (trail & 0x3F);
        }
        if (index < available)
        {
            // Abandoned: the offending byte is looked at again as a lead.
            cur += index;
            continue;
        }
        if (available < length)
        {
            ioCur = cur;
            return false;
        }
        cur += length;
        if (spIsScalar(cp))
        {
            oCP = cp;
            ioCur = cur;
            return true;
        }
    }
    ioCur = iEnd;
    return false;
}

bool spDecode(const UTF16*& ioCur, const UTF16* iEnd, UTF32& oCP)
{
    const UTF16* cur = ioCur;
    while (cur < iEnd)
    {
        const uint32_t unit = *cur;
        if (unit < 0xD800 || unit >= 0xE000)
        {
            oCP = unit;
            ioCur = cur + 1;
            return true;
        }
        if (unit <= 0xDBFF)
        {
            if (cur + 1 == iEnd)
            {
                ioCur = cur;
                return false;
            }
            const uint32_t low = cur[1];
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                oCP = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ioCur = cur + 2;
                return true;
            }
        }
        // A high surrogate without its partner, or a lone low one: dropped.
        ++cur;
    }
    ioCur = iEnd;
    return false;
}

bool spDecode(const UTF32*& ioCur, const UTF32* iEnd, UTF32& oCP)
{
    for (const UTF32* cur = ioCur; cur < iEnd; ++cur)
    {
        if (spIsScalar(*cur))
        {
            oCP = *cur;
            ioCur = cur + 1;
            return true;
        }
    }
    ioCur = iEnd;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Encoders of scalar values into a buffer with room for at least kMaxUnits<U> units.

template <class U> struct MaxUnits;
template <> struct MaxUnits<UTF8>
{
    static const size_t value = 4;
};
template <> struct MaxUnits<UTF16>
{
    static const size_t value = 2;
};
template <> struct MaxUnits<UTF32>
{
    static const size_t value = 1;
};

inline size_t spEncode(UTF32 iCP, UTF8* oDest)
{
    if (iCP < 0x80)
    {
        oDest[0] = static_cast<UTF8>(iCP);
        return 1;
    }
    if (iCP < 0x800)
    {
        oDest[0] = static_cast<UTF8>(0xC0 | (iCP >> 6));
        oDest[1] = static_cast<UTF8>(0x80 | (iCP & 0x3F));
        return 2;
    }
    if (iCP < 0x10000)
    {
        oDest[0] = static_cast<UTF8>(0xE0 | (iCP >> 12));
        oDest[1] = static_cast<UTF8>(0x80 | ((iCP >> 6) & 0x3F));
        oDest[2] = static_cast<UTF8>(0x80 | (iCP & 0x3F));
        return 3;
    }
    oDest[0] = static_cast<UTF8>(0xF0 | (iCP >> 18));
    oDest[1] = static_cast<UTF8>(0x80 | ((iCP >> 12) & 0x3F));
    oDest[2] = static_cast<UTF8>(0x80 | ((iCP >> 6) & 0x3F));
    oDest[3] = static_cast<UTF8>(0x80 | (iCP & 0x3F));
    return 4;
}

inline size_t spEncode(UTF32 iCP, UTF16* oDest)
{
    if (iCP < 0x10000)
    {
        oDest[0] = static_cast<UTF16>(iCP);
        return 1;
    }
    const UTF32 offset = iCP - 0x10000;
    oDest[0] = static_cast<UTF16>(0xD800 + (offset >> 10));
    oDest[1] = static_cast<UTF16>(0xDC00 + (offset & 0x3FF));
    return 2;
}

inline size_t spEncode(UTF32 iCP, UTF32* oDest)
{
    oDest[0] = iCP;
    return 1;
}

// Decodes all of the source and appends the re-encoded code points; returns the units consumed.
// Collects the units in a small buffer so that the string grows in blocks.
template <class Dest, class Source>
size_t spAppendConverted(Dest& ioDest, const Source* iSource, size_t iCountCU)
{
    typedef typename Dest::value_type Unit;
    // A fresh string gets room for one unit per source unit (exact for UTF-8 and UTF-16 into
    // UTF-16 and UTF-32, a good start otherwise); a string being appended to grows as it grows.
    if (ioDest.empty())
        ioDest.reserve(iCountCU);
    const size_t kBlock = 256;
    Unit units[kBlock];
    size_t filled = 0;
    const Source* cur = iSource;
    const Source* end = iSource + iCountCU;
    UTF32 cp;
    while (spDecode(cur, end, cp))
    {
        if (filled + MaxUnits<Unit>::value > kBlock)
        {
            ioDest.append(units, filled);
            filled = 0;
        }
        filled += spEncode(cp, units + filled);
    }
    ioDest.append(units, filled);
    return cur - iSource;
}

template <class Source> size_t spCountCP(const Source* iSource, size_t iCountCU)
{
    const Source* cur = iSource;
    const Source* end = iSource + iCountCU;
    size_t count = 0;
    UTF32 cp;
    while (spDecode(cur, end, cp))
        ++count;
    return count;
}

// The source units, from iChunkStart on, whose native forms fit in the first iNative units.
template <class Native, class Source>
const Source* spSourceFor(const Source* iChunkStart, const Source* iEnd, size_t iNative)
{
    const Source* cur = iChunkStart;
    size_t covered = 0;
    for (;;)
    {
        const Source* next = cur;
        UTF32 cp;
        if (!spDecode(next, iEnd, cp))
            return cur;
        Native units[MaxUnits<Native>::value];
        covered += spEncode(cp, units);
        if (covered > iNative)
            return cur;
        cur = next;
    }
}

// Converts the source into chunks of native units and hands each to iSlot (the writer's native
// slot), stopping when the slot takes less than a whole chunk. Stores the source units consumed:
// whole code points only.
template <class Native, class Source, class Slot>
void spWriteConverted(const Source* iSource, size_t iCountCU, size_t* oCountCU, Slot iSlot)
{
    Native buffer[kChunkUnits];
    const Source* cur = iSource;
    const Source* end = iSource + iCountCU;
    bool more = true;
    while (more && cur < end)
    {
        const Source* chunkStart = cur;
        size_t filled = 0;
        while (filled + MaxUnits<Native>::value <= kChunkUnits)
        {
            const Source* next = cur;
            UTF32 cp;
            if (!spDecode(next, end, cp))
            {
                cur = next;
                more = false;
                break;
            }
            filled += spEncode(cp, buffer + filled);
            cur = next;
        }
        if (filled == 0)
            continue;
        size_t taken = 0;
        iSlot(buffer, filled, &taken);
        if (taken < filled)
        {
            cur = spSourceFor<Native>(chunkStart, end, taken);
            break;
        }
    }
    *oCountCU = cur - iSource;
}

} // anonymous namespace

// =============================================================================================
// Conversions

string8 sStringv(const char* iFormat, va_list iArgs)
{
    char buffer[512];
    va_list args;
    va_copy(args, iArgs);
    const int length = std::vsnprintf(buffer, sizeof(buffer), iFormat, args);
    va_end(args);
    // A negative result is a formatting error (an unencodable wide character, say), not a short
    // buffer: there is no text to return.
    if (length < 0)
        return string8();
    if (static_cast<size_t>(length) < sizeof(buffer))
        return string8(buffer, length);

    string8 result(length, ' ');
    va_copy(args, iArgs);
    std::vsnprintf(&result[0], result.size() + 1, iFormat, args);
    va_end(args);
    return result;
}

string8 sStringf(const char* iFormat, ...)
{
    va_list args;
    va_start(args, iFormat);
    string8 result = sStringv(iFormat, args);
    va_end(args);
    return result;
}

bool sIsValidUTF8(const string8& iText)
{
    const uint8_t* cur = reinterpret_cast<const uint8_t*>(iText.data());
    for (size_t left = iText.size(); left > 0;)
    {
        const size_t length = spWellFormedLength(cur, left);
        if (length == 0)
            return false;
        cur += length, left -= length;
    }
    return true;
}

string16 sUTF16FromUTF8(const string8& iSource)
{
    string16 result;
    spAppendConverted(result, iSource.data(), iSource.size());
    return result;
}

string8 sUTF8FromUTF16(const UTF16* iSource, size_t iCountCU)
{
    string8 result;
    spAppendConverted(result, iSource, iCountCU);
    return result;
}

string8 sUTF8FromUTF16(const string16& iSource)
{
    return sUTF8FromUTF16(iSource.data(), iSource.size());
}

string8 sUTF8FromUTF32(const UTF32* iSource, size_t iCountCU)
{
    string8 result;
    spAppendConverted(result, iSource, iCountCU);
    return result;
}

void sAppendUTF8(string8& ioString, UTF32 iCP)
{
    if (iCP < 0x10000)
    {
        UTF8 units[3];
        ioString.append(units, spEncode(iCP, units));
        return;
    }
    size_t length;
    uint8_t lead;
    if (iCP < 0x200000)
        length = 4, lead = 0xF0;
    else if (iCP < 0x4000000)
        length = 5, lead = 0xF8;
    else if (iCP < 0x80000000)
        length = 6, lead = 0xFC;
    else
        return;
    UTF8 units[6];
    for (size_t index = length - 1; index > 0; --index, iCP >>= 6)
        units[index] = static_cast<UTF8>(0x80 | (iCP & 0x3F));
    units[0] = static_cast<UTF8>(lead | iCP);
    ioString.append(units, length);
}

size_t sCountCP(const UTF8* iSource, size_t iCountCU)
{
    return spCountCP(iSource, iCountCU);
}

size_t sCountCP(const UTF16* iSource, size_t iCountCU)
{
    return spCountCP(iSource, iCountCU);
}

size_t sAppendFromUTF8(string16& ioDest, const UTF8* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

size_t sAppendFromUTF8(string32& ioDest, const UTF8* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

size_t sAppendFromUTF16(string8& ioDest, const UTF16* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

size_t sAppendFromUTF16(string32& ioDest, const UTF16* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

size_t sAppendFromUTF32(string8& ioDest, const UTF32* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

size_t sAppendFromUTF32(string16& ioDest, const UTF32* iSource, size_t iCountCU)
{
    return spAppendConverted(ioDest, iSource, iCountCU);
}

// =============================================================================================
// ZStrim, ZStrimW

ZStrim::ExEndOfStrim::ExEndOfStrim(const char* iWhat) : std::range_error(iWhat) {}

ZStrimW::ExEndOfStrim::ExEndOfStrim() : ZStrim::ExEndOfStrim("ZStrimW::ExEndOfStrim") {}

ZStrimW::~ZStrimW() {}

void ZStrimW::Imp_Flush() const {}

namespace
{

template <class Unit> size_t spLength(const Unit* iString)
{
    const Unit* cur = iString;
    while (*cur)
        ++cur;
    return cur - iString;
}

// The string forms: a short write is an error only when a complete code point was left behind.
template <class Unit> void spCheckRest(const Unit* iSource, size_t iCountCU, size_t iConsumed)
{
    if (iConsumed < iCountCU && spCountCP(iSource + iConsumed, iCountCU - iConsumed) > 0)
        throw ZStrimW::ExEndOfStrim();
}

} // anonymous namespace

const ZStrimW& ZStrimW::Write(const UTF8* iString) const
{
    if (const size_t length = std::strlen(iString))
    {
        size_t consumed = 0;
        Imp_WriteUTF8(iString, length, &consumed);
        if (consumed != length)
            throw ExEndOfStrim();
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(const UTF16* iString) const
{
    if (const size_t length = spLength(iString))
    {
        size_t consumed = 0;
        Imp_WriteUTF16(iString, length, &consumed);
        if (consumed != length)
            throw ExEndOfStrim();
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(const UTF32* iString) const
{
    if (const size_t length = spLength(iString))
    {
        size_t consumed = 0;
        Imp_WriteUTF32(iString, length, &consumed);
        if (consumed != length)
            throw ExEndOfStrim();
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(const string8& iString) const
{
    if (!iString.empty())
    {
        size_t consumed = 0;
        Imp_WriteUTF8(iString.data(), iString.size(), &consumed);
        spCheckRest(iString.data(), iString.size(), consumed);
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(const string16& iString) const
{
    if (!iString.empty())
    {
        size_t consumed = 0;
        Imp_WriteUTF16(iString.data(), iString.size(), &consumed);
        spCheckRest(iString.data(), iString.size(), consumed);
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(const string32& iString) const
{
    if (!iString.empty())
    {
        size_t consumed = 0;
        Imp_WriteUTF32(iString.data(), iString.size(), &consumed);
        if (consumed != iString.size())
            throw ExEndOfStrim();
    }
    return *this;
}

void ZStrimW::Write(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const
{
    Imp_WriteUTF8(iSource, iCountCU, oCountCU);
}

void ZStrimW::Write(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const
{
    Imp_WriteUTF16(iSource, iCountCU, oCountCU);
}

void ZStrimW::Write(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const
{
    Imp_WriteUTF32(iSource, iCountCU, oCountCU);
}

const ZStrimW& ZStrimW::Writef(const char* iFormat, ...) const
{
    va_list args;
    va_start(args, iFormat);
    try
    {
        Writev(iFormat, args);
    }
    catch (...)
    {
        va_end(args);
        throw;
    }
    va_end(args);
    return *this;
}

const ZStrimW& ZStrimW::Writev(const char* iFormat, va_list iArgs) const
{
    const string8 text = sStringv(iFormat, iArgs);
    if (!text.empty())
    {
        size_t consumed = 0;
        Imp_WriteUTF8(text.data(), text.size(), &consumed);
        if (consumed != text.size())
            throw ExEndOfStrim();
    }
    return *this;
}

const ZStrimW& ZStrimW::Write(bool iVal) const
{
    return Write(iVal ? "true" : "false");
}

const ZStrimW& ZStrimW::Write(char iVal) const
{
    return Writef("%c", iVal);
}

const ZStrimW& ZStrimW::Write(signed char iVal) const
{
    return Writef("%d", iVal);
}

const ZStrimW& ZStrimW::Write(unsigned char iVal) const
{
    return Writef("%u", iVal);
}

const ZStrimW& ZStrimW::Write(wchar_t iVal) const
{
    // The character as a code point: printf's "%lc" would depend on the C library's locale and
    // fails outright for anything beyond ASCII in the default one.
    const UTF32 cp = static_cast<UTF32>(iVal);
    size_t consumed = 0;
    Imp_WriteUTF32(&cp, 1, &consumed);
    if (consumed != 1)
        throw ExEndOfStrim();
    return *this;
}

const ZStrimW& ZStrimW::Write(short iVal) const
{
    return Writef("%d", iVal);
}

const ZStrimW& ZStrimW::Write(unsigned short iVal) const
{
    return Writef("%u", iVal);
}

const ZStrimW& ZStrimW::Write(int iVal) const
{
    return Writef("%d", iVal);
}

const ZStrimW& ZStrimW::Write(unsigned int iVal) const
{
    return Writef("%u", iVal);
}

const ZStrimW& ZStrimW::Write(long iVal) const
{
    return Writef("%ld", iVal);
}

const ZStrimW& ZStrimW::Write(unsigned long iVal) const
{
    return Writef("%lu", iVal);
}

const ZStrimW& ZStrimW::Write(long long iVal) const
{
    return Writef("%lld", iVal);
}

const ZStrimW& ZStrimW::Write(unsigned long long iVal) const
{
    return Writef("%llu", iVal);
}

const ZStrimW& ZStrimW::Write(float iVal) const
{
    return Writef("%.9g", static_cast<double>(iVal));
}

const ZStrimW& ZStrimW::Write(double iVal) const
{
    return Writef("%.17g", iVal);
}

const ZStrimW& ZStrimW::Write(long double iVal) const
{
    return Writef("%.34Lg", iVal);
}

const ZStrimW& ZStrimW::Write(const void* iVal) const
{
    return Writef("%p", iVal);
}

void ZStrimW::Flush() const
{
    Imp_Flush();
}

// =============================================================================================
// Native writers

void ZStrimW_NativeUTF8::Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU,
                                        size_t* oCountCU) const
{
    spWriteConverted<UTF8>(iSource, iCountCU, oCountCU,
                           [this](const UTF8* iNative, size_t iCount, size_t* oCount)
                           { this->Imp_WriteUTF8(iNative, iCount, oCount); });
}

void ZStrimW_NativeUTF8::Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU,
                                        size_t* oCountCU) const
{
    spWriteConverted<UTF8>(iSource, iCountCU, oCountCU,
                           [this](const UTF8* iNative, size_t iCount, size_t* oCount)
                           { this->Imp_WriteUTF8(iNative, iCount, oCount); });
}

void ZStrimW_NativeUTF16::Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU,
                                         size_t* oCountCU) const
{
    spWriteConverted<UTF16>(iSource, iCountCU, oCountCU,
                            [this](const UTF16* iNative, size_t iCount, size_t* oCount)
                            { this->Imp_WriteUTF16(iNative, iCount, oCount); });
}

void ZStrimW_NativeUTF16::Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU,
                                        size_t* oCountCU) const
{
    spWriteConverted<UTF16>(iSource, iCountCU, oCountCU,
                            [this](const UTF16* iNative, size_t iCount, size_t* oCount)
                            { this->Imp_WriteUTF16(iNative, iCount, oCount); });
}

void ZStrimW_NativeUTF32::Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU,
                                         size_t* oCountCU) const
{
    spWriteConverted<UTF32>(iSource, iCountCU, oCountCU,
                            [this](const UTF32* iNative, size_t iCount, size_t* oCount)
                            { this->Imp_WriteUTF32(iNative, iCount, oCount); });
}

void ZStrimW_NativeUTF32::Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU,
                                        size_t* oCountCU) const
{
    spWriteConverted<UTF32>(iSource, iCountCU, oCountCU,
                            [this](const UTF32* iNative, size_t iCount, size_t* oCount)
                            { this->Imp_WriteUTF32(iNative, iCount, oCount); });
}

} // namespace Morvek
