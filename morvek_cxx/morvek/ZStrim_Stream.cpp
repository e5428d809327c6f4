// ZStrim_Stream: the UTF-8 writer onto a byte stream.

#include "morvek/ZStrim_Stream.h"

namespace Morvek
{

ZStrimW_StreamUTF8::ZStrimW_StreamUTF8(const ZStreamW& iStreamW) : fStreamW(iStreamW) {}

void ZStrimW_StreamUTF8::Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const
{
    fStreamW.Write(iSource, iCountCU, oCountCU);
}

void ZStrimW_StreamUTF8::Imp_Flush() const
{
    fStreamW.Flush();
}

} // namespace Morvek
