// The connection list: every live connection record of the process, in an array.
//
// Invariants: the record at position i has fIndex == i; a record is added at the end and removing
// one moves the last into its place, so positions change only by removal. The connection index
// prefers, among matches, the record at the lowest position.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_CONNECTION_LIST_H
#define QUILLANE_UTP_ENGINE_UTP_CONNECTION_LIST_H

#include "utp/engine/utp.h"

#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

void sConnectionListAdd(UTPSocket* s);
void sConnectionListRemove(UTPSocket* s);
uint32_t sConnectionListCount();
UTPSocket* sConnectionListAt(uint32_t iIndex);
// Frees the array (not the records, which must all have been removed).
void sConnectionListFree();

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_CONNECTION_LIST_H
