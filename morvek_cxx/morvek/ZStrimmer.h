// ZStrimmerW: a reference-counted holder of a text writer, so that a writer can be shared between
// threads and outlive whoever made it. The writer it returns lives as long as the strimmer; using
// it from several threads at once needs the caller's own lock.

#ifndef QUILLANE_MORVEK_ZSTRIMMER_H
#define QUILLANE_MORVEK_ZSTRIMMER_H

#include "morvek/ZCounted.h"
#include "morvek/ZStrim.h"

namespace Morvek
{

class ZStrimmerW : public virtual ZCounted
{
  public:
    virtual const ZStrimW& GetStrimW() = 0;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZSTRIMMER_H
