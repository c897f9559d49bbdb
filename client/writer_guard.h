#pragma once
// Who writes client files and ".part" files right now. An install and an
// update would otherwise download into the same files side by side, and a
// move takes the files from under both, so each takes this one guard for
// its whole run; whoever comes second is turned
// away and told who holds it, and a game start waits for neither.
#include <atomic>
#include <cstdint>

namespace tarn {

enum class ClientWriter : uint8_t { Nobody = 0, Install = 1, Update = 2, Move = 3 };

// One per launcher; the jobs that write or start the client share it.
struct ClientWriterGuard {
  std::atomic<ClientWriter> holder{ClientWriter::Nobody};
};

// Takes the guard for who. False, with holder set, when someone holds it.
bool TakeClientWriter(ClientWriterGuard& guard, ClientWriter who, ClientWriter& holder);
// Who holds the guard this moment.
ClientWriter CurrentClientWriter(const ClientWriterGuard& guard);
// Gives it back; only the holder's own release counts.
void ReleaseClientWriter(ClientWriterGuard& guard, ClientWriter who);

// Holds the guard for one scope once taken.
class ClientWriterHold {
 public:
  ClientWriterHold(ClientWriterGuard& guard, ClientWriter who) : guard_(guard), who_(who) {
    taken_ = TakeClientWriter(guard, who, holder_);
  }
  ~ClientWriterHold() {
    if (taken_) ReleaseClientWriter(guard_, who_);
  }
  ClientWriterHold(const ClientWriterHold&) = delete;
  ClientWriterHold& operator=(const ClientWriterHold&) = delete;
  bool taken() const { return taken_; }
  ClientWriter holder() const { return holder_; }

 private:
  ClientWriterGuard& guard_;
  ClientWriter who_;
  ClientWriter holder_ = ClientWriter::Nobody;
  bool taken_ = false;
};

}  // namespace tarn
