// ZStrim_Stream: text writers over byte streams. ZStrimW_StreamUTF8 encodes text as UTF-8 onto a
// ZStreamW (which must outlive it); ZStrimmerW_Streamer_T keeps a streamer alive together with a
// writer of type T built on that streamer's stream. No locks: one thread at a time per writer.

#ifndef QUILLANE_MORVEK_ZSTRIM_STREAM_H
#define QUILLANE_MORVEK_ZSTRIM_STREAM_H

#include "morvek/ZStream.h"
#include "morvek/ZStrimmer.h"

namespace Morvek
{

class ZStrimW_StreamUTF8 : public ZStrimW_NativeUTF8
{
  public:
    explicit ZStrimW_StreamUTF8(const ZStreamW& iStreamW);

    // Writes with the stream's counting Write: a short count means the stream took no more.
    void Imp_WriteUTF8(const UTF8* iSource, size_t iCountCU, size_t* oCountCU) const override;
    void Imp_Flush() const override;

  private:
    const ZStreamW& fStreamW;
};

template <class T> class ZStrimmerW_Streamer_T : public ZStrimmerW
{
  public:
    explicit ZStrimmerW_Streamer_T(const ZRef<ZStreamerW>& iStreamerW)
        : fStreamerW(iStreamerW), fStrimW(iStreamerW->GetStreamW())
    {
    }

    const ZStrimW& GetStrimW() override { return fStrimW; }

  private:
    // Declared first so that the streamer outlives the writer that refers to its stream.
    const ZRef<ZStreamerW> fStreamerW;
    T fStrimW;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZSTRIM_STREAM_H
