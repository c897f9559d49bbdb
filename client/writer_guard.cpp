#include "client/writer_guard.h"

namespace tarn {

bool TakeClientWriter(ClientWriterGuard& guard, ClientWriter who, ClientWriter& holder) {
  // One compare-and-swap decides: there is no moment between "nobody holds
  // it" and "I hold it" in which the other side could slip in.
  ClientWriter expected = ClientWriter::Nobody;
  if (guard.holder.compare_exchange_strong(expected, who)) return true;
  holder = expected;
  return false;
}

ClientWriter CurrentClientWriter(const ClientWriterGuard& guard) { return guard.holder.load(); }

void ReleaseClientWriter(ClientWriterGuard& guard, ClientWriter who) {
  ClientWriter expected = who;
  guard.holder.compare_exchange_strong(expected, ClientWriter::Nobody);
}

}  // namespace tarn
