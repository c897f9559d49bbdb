#pragma once
// The installer's status record, the three flags through which the page's
// install commands reach a running install, and the guard that keeps the
// install and the client update from writing the same client at once.
// Every install Event is a snapshot of the record.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "bridge/install_flags.h"

namespace tarn {

struct InstallState {
  std::string stage = "неизвестно";
  std::string path;   // install folder shown and used
  std::string file;   // list path of the file being downloaded
  std::string error;  // message shown with stage "ошибка"
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t freeBytes = 0;
  uint64_t totalFiles = 0;
  uint64_t doneFiles = 0;
  double speed = 0;  // smoothed, bytes per second
  int64_t eta = -1;  // seconds left; -1 when unknown
  int32_t version = -1;
  uint64_t speedTick = 0;  // tick of the last speed sample; 0 = none yet
  uint64_t speedBytes = 0;
};

// Take before touching any field; release before posting an Event or doing
// network or file work. Not recursive.
std::mutex& InstallLock();
InstallState& TheInstallState();

// Who writes client files and ".part" files right now. An install and an
// update would otherwise download into the same files side by side, so both
// take this one guard for their whole run; whoever comes second is turned
// away and told who holds it.
enum class ClientWriter : uint8_t { None = 0, Install = 1, Update = 2 };

// Takes the guard for who. False, with holder set, when someone holds it.
bool TakeClientWriter(ClientWriter who, ClientWriter& holder);
// Who holds the guard this moment.
ClientWriter CurrentClientWriter();
// Gives it back; only the holder's own release counts.
void ReleaseClientWriter(ClientWriter who);

// Holds the guard for one scope once taken.
class ClientWriterHold {
 public:
  explicit ClientWriterHold(ClientWriter who) : who_(who) { taken_ = TakeClientWriter(who, holder_); }
  ~ClientWriterHold() {
    if (taken_) ReleaseClientWriter(who_);
  }
  ClientWriterHold(const ClientWriterHold&) = delete;
  ClientWriterHold& operator=(const ClientWriterHold&) = delete;
  bool taken() const { return taken_; }
  ClientWriter holder() const { return holder_; }

 private:
  ClientWriter who_;
  ClientWriter holder_ = ClientWriter::None;
  bool taken_ = false;
};

}  // namespace tarn
