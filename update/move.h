#pragma once
// Moving the installed client to another folder: one rename of the folder
// on the same file system; otherwise a copy of every listed file, checked
// against the signed list, the install record switched to the copy only
// once it is whole, and the old copy removed only after that. A stopped or
// killed move leaves the old copy whole and the record pointing at it.
#include <atomic>

#include "client/context.h"

namespace tarn {

// The page's stop reaches a running move through these; set and cleared
// only by exchange.
struct MoveFlags {
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{false};
};

// The name of the file a copy leaves in the folder it fills, until the
// record points there: a folder that holds it and nothing the list does not
// name is a copy an earlier move left unfinished, which a move into it
// clears and makes again. No listed file may carry it.
inline constexpr const char* kMoveMarker = ".tarn-перенос";

// The task behind "client.move": asks where to (the folder dialog), applies
// the install's folder rules and the move's own, then moves the client.
// Reports through status rows, "progress" and {"move":{"running":…}}. True
// when the client now lives in the new folder. Turned away while an
// install or an update writes the client, and while another move runs.
bool MoveClient(ClientContext& ctx, MoveFlags& flags);

// "client.move.stop": a copy stops before its next piece and removes what
// it wrote; a rename is one step and cannot be stopped.
void RequestMoveStop(MoveFlags& flags);

}  // namespace tarn
