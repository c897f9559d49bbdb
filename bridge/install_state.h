#pragma once
// The installer's status record, the three flags through which the page's
// install commands reach a running install, and the guard that keeps the
// install and the client update from writing the same client at once.
// Every install Event is a snapshot of the record.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "bridge/context.h"
#include "bridge/install_status.h"

namespace tarn {

// Who writes client files and ".part" files right now. An install and an
// update would otherwise download into the same files side by side, so both
// take this one guard for their whole run; whoever comes second is turned
// away and told who holds it.
enum class ClientWriter : uint8_t { None = 0, Install = 1, Update = 2 };

// Takes the guard for who. False, with holder set, when someone holds it.
bool TakeClientWriter(LauncherContext& ctx, ClientWriter who, ClientWriter& holder);
// Who holds the guard this moment.
ClientWriter CurrentClientWriter(LauncherContext& ctx);
// Gives it back; only the holder's own release counts.
void ReleaseClientWriter(LauncherContext& ctx, ClientWriter who);

// Holds the guard for one scope once taken.
class ClientWriterHold {
 public:
  ClientWriterHold(LauncherContext& ctx, ClientWriter who) : ctx_(ctx), who_(who) {
    taken_ = TakeClientWriter(ctx, who, holder_);
  }
  ~ClientWriterHold() {
    if (taken_) ReleaseClientWriter(ctx_, who_);
  }
  ClientWriterHold(const ClientWriterHold&) = delete;
  ClientWriterHold& operator=(const ClientWriterHold&) = delete;
  bool taken() const { return taken_; }
  ClientWriter holder() const { return holder_; }

 private:
  LauncherContext& ctx_;
  ClientWriter who_;
  ClientWriter holder_ = ClientWriter::None;
  bool taken_ = false;
};

}  // namespace tarn
