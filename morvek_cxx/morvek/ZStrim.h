// ZStrim: writers of Unicode text ("strims") and the conversions between UTF-8, UTF-16 and UTF-32.
//
// A ZStrimW accepts text in any of the three encoding forms and hands it to its destination in the
// form the destination wants. Each writer's Imp_ slots take as much as they can and report how many
// source code units they consumed; only the non-virtual Write forms turn a short write into
// ZStrimW::ExEndOfStrim. Decoding never fails: malformed input is skipped and an incomplete final
// sequence is left unconsumed (or dropped, by the string conversions). Text converted from a
// foreign form holds only Unicode scalar values (0..0x10FFFF less the surrogates); text already in
// a writer's own form reaches its slot as given.
//
// Writers carry no locks; a writer is used by one thread at a time. The free functions are
// re-entrant.

#ifndef QUILLANE_MORVEK_ZSTRIM_H
#define QUILLANE_MORVEK_ZSTRIM_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

// Lets the compiler check printf-style formats against their arguments where it can. A C library
// whose printf family follows a dialect of its own names it (mingw-w64's C99 functions, which
// the C++ runtime selects there, take %zu and %Lg; the plain "printf" archetype would check
// against the older system library's dialect, which does not).
#if defined(__MINGW_PRINTF_FORMAT)
#define ZMACRO_PrintfFormat(formatIndex, firstArg)                                                 \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArg)))
#elif defined(__GNUC__)
#define ZMACRO_PrintfFormat(formatIndex, firstArg)                                                 \
    __attribute__((format(printf, formatIndex, firstArg)))
#else
#define ZMACRO_PrintfFormat(formatIndex, firstArg)
#endif

namespace Morvek
{

typedef char UTF8;
typedef char16_t UTF16;
typedef char32_t UTF32;

typedef std::string string8;
typedef std::u16string string16;
typedef std::u32string string32;

// ---------------------------------------------------------------------------------------------
// Conversions

// printf-style formatting into a new string, as long as the result needs.
string8 sStringf(const char* iFormat, ...) ZMACRO_PrintfFormat(1, 2);
string8 sStringv(const char* iFormat, va_list iArgs);

// Whether the text is well-formed UTF-8 throughout: each sequence the shortest form of a Unicode
// scalar value (0..0x10FFFF less the surrogates), none cut off by the end. The conversions
// accept more (they skip or decode what this refuses), so a text from outside whose meaning must
// not change on the way through a conversion is checked here first.
bool sIsValidUTF8(const string8& iText);

string16 sUTF16FromUTF8(const string8& iSource);
string8 sUTF8FromUTF16(const UTF16* iSource, size_t iCountCU);
string8 sUTF8FromUTF16(const string16& iSource);
string8 sUTF8FromUTF32(const UTF32* iSource, size_t iCountCU);

// Appends the UTF-8 form of iCP (up to six bytes for values up to 0x7FFFFFFF; larger values
// have no UTF-8 form and append nothing).
void sAppendUTF8(string8& ioString, UTF32 iCP);

// Number of complete code points in the text, skipping what the decoders skip.
size_t sCountCP(const UTF8* iSource, size_t iCountCU);
size_t sCountCP(const UTF16* iSource, size_t iCountCU);

// Appending conversions: decode the source, append its code points to ioDest and return the
// number of source units consumed (less than the count only when the source ends in an
// incomplete sequence).
size_t sAppendFromUTF8(string16& ioDest, const UTF8* iSource, size_t iCountCU);
size_t sAppendFromUTF8(string32& ioDest, const UTF8* iSource, size_t iCountCU);
size_t sAppendFromUTF16(string8& ioDest, const UTF16* iSource, size_t iCountCU);
size_t sAppendFromUTF16(string32& ioDest, const UTF16* iSource, size_t iCountCU);
size_t sAppendFromUTF32(string8& ioDest, const UTF32* iSource, size_t iCountCU);
size_t sAppendFromUTF32(string16& ioDest, const UTF32* iSource, size_t iCountCU);

// ---------------------------------------------------------------------------------------------
// ZStrim

class ZStrim
{
  public:
    class ExEndOfStrim : public std::range_error
    {
      public:
        explicit ExEndOfStrim(const char* iWhat);
    };
};

// ---------------------------------------------------------------------------------------------
// ZStrimW

class ZStrimW
{
  public:
    class ExEndOfStrim : public ZStrim::ExEndOfStrim
    {
      public:
        ExEndOfStrim();
    };

    virtual ~ZStrimW();

    // NUL-terminated text: nothing happens for an empty string; throws unless all is consumed.
    const ZStrimW& Write(const UTF8* iString) const;
    const ZStrimW& Write(const UTF16* iString) const;
    const ZStrimW& Write(const UTF32* iString) const;

    // String objects. For UTF-8 and UTF-16 an unconsumed tail that holds no complete code point
    // (an incomplete final sequence) is not an error.
    const ZStrimW& Write(const string8& iString) const;
    const ZStrimW& Write(const string16& iString) const;
    const ZStrimW& Write(const string32& iString) const;

    // Counting forms: pass straight to the slot and report what it consumed.
    void Write(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const;
    void Write(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const;
    void Write(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const;

    // Formatting writes.
    const ZStrimW& Writef(const char* iFormat, ...) const ZMACRO_PrintfFormat(2, 3);
    const ZStrimW& Writev(const char* iFormat, va_list iArgs) const;

    const ZStrimW& Write(bool iVal) const;
    const ZStrimW& Write(char iVal) const;        // the character itself
    const ZStrimW& Write(signed char iVal) const; // its number
    const ZStrimW& Write(unsigned char iVal) const;
    const ZStrimW& Write(wchar_t iVal) const; // the character itself
    const ZStrimW& Write(short iVal) const;
    const ZStrimW& Write(unsigned short iVal) const;
    const ZStrimW& Write(int iVal) const;
    const ZStrimW& Write(unsigned int iVal) const;
    const ZStrimW& Write(long iVal) const;
    const ZStrimW& Write(unsigned long iVal) const;
    const ZStrimW& Write(long long iVal) const;
    const ZStrimW& Write(unsigned long long iVal) const;
    const ZStrimW& Write(float iVal) const;
    const ZStrimW& Write(double iVal) const;
    const ZStrimW& Write(long double iVal) const;
    const ZStrimW& Write(const void* iVal) const;

    void Flush() const;

    // The slots. Each consumes what it can of the source and stores the count of source units
    // it took; fewer than given means it can take no more.
    virtual void Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const = 0;
    virtual void Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const = 0;
    virtual void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const = 0;
    virtual void Imp_Flush() const;
};

template <class T> const ZStrimW& operator<<(const ZStrimW& iStrimW, const T& iVal)
{
    return iStrimW.Write(iVal);
}

inline const ZStrimW& operator<<(const ZStrimW& iStrimW, const UTF8* iString)
{
    return iStrimW.Write(iString);
}

// ---------------------------------------------------------------------------------------------
// Native writers: each leaves the slot of its own form to its subclass and feeds it the other two
// forms converted in chunks of a bounded buffer.

class ZStrimW_NativeUTF8 : public ZStrimW
{
  public:
    void Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const override;
};

class ZStrimW_NativeUTF16 : public ZStrimW
{
  public:
    void Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override;
};

class ZStrimW_NativeUTF32 : public ZStrimW
{
  public:
    void Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override;
};

// ---------------------------------------------------------------------------------------------
// ZStrimW_String: appends to a caller-owned string, which must outlive the writer. A failure to
// grow the string consumes nothing.

// Appends and reports the units taken: all of them, or none when the string cannot grow.
template <class S, class Unit> size_t sAppendUnits(S& ioString, const Unit* iSource, size_t iCount)
{
    try
    {
        ioString.append(iSource, iCount);
        return iCount;
    }
    catch (...)
    {
        return 0;
    }
}

template <class S, class Unit = typename S::value_type> class ZStrimW_String;

template <class S> class ZStrimW_String<S, UTF8> : public ZStrimW_NativeUTF8
{
  public:
    explicit ZStrimW_String(S& ioString) : fString(ioString) {}

    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override
    {
        *oCountCU = sAppendUnits(fString, iSource, iCountCU);
    }

  private:
    S& fString;
};

template <class S> class ZStrimW_String<S, UTF16> : public ZStrimW_NativeUTF16
{
  public:
    explicit ZStrimW_String(S& ioString) : fString(ioString) {}

    void Imp_WriteUTF16(const UTF16* iSource, size_t iCountCU, size_t* oCountCU) const override
    {
        *oCountCU = sAppendUnits(fString, iSource, iCountCU);
    }

  private:
    S& fString;
};

template <class S> class ZStrimW_String<S, UTF32> : public ZStrimW_NativeUTF32
{
  public:
    explicit ZStrimW_String(S& ioString) : fString(ioString) {}

    void Imp_WriteUTF32(const UTF32* iSource, size_t iCountCU, size_t* oCountCU) const override
    {
        *oCountCU = sAppendUnits(fString, iSource, iCountCU);
    }

  private:
    S& fString;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZSTRIM_H
