// ZNet: the abstract network names, name lookups and addresses. A name (ZNetName) makes a
// lookup, which is walked like a cursor over the addresses it found. All three are counted
// objects; a lookup is used by one thread at a time.

#ifndef QUILLANE_MORVEK_ZNET_H
#define QUILLANE_MORVEK_ZNET_H

#include "morvek/ZCounted.h"
#include "morvek/ZStrim.h"

#include <cstdint>

namespace Morvek
{

class ZNetAddress;
class ZNetNameLookup;

class ZNetAddress : public ZCounted
{
};

// An address reached through a port (host byte order).
class ZNetAddress_Internet : public ZNetAddress
{
  public:
    explicit ZNetAddress_Internet(uint16_t iPort) : fPort(iPort) {}
    uint16_t GetPort() const { return fPort; }

  private:
    const uint16_t fPort;
};

class ZNetName : public ZCounted
{
  public:
    // At most iMaxAddresses addresses will be found; 0 asks for the default. Null when no
    // lookup can be made for this name.
    virtual ZRef<ZNetNameLookup> CreateLookup(uint32_t iMaxAddresses) = 0;
    virtual string8 AsString() = 0;
};

class ZNetNameLookup : public ZCounted
{
  public:
    // Finds the addresses; may block for as long as the system's resolver takes.
    virtual void Start() = 0;
    // True before Start (for a lookup that needs it) and once the cursor is past the last one.
    virtual bool Finished() = 0;
    // Moves the cursor one address on, unless it is already past the last one.
    virtual void Advance() = 0;
    // The address under the cursor; null past the last one.
    virtual ZRef<ZNetAddress> CurrentAddress() = 0;
    virtual ZRef<ZNetName> CurrentName() = 0;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZNET_H
