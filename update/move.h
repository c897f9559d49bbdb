#pragma once
// Moving the installed client to another folder: one rename of the folder
// on the same file system; otherwise a copy of every listed file, checked
// against the signed list, the install record switched to the copy only
// once it is whole, and the old copy removed only after that. A stopped or
// killed move leaves the old copy whole and the record pointing at it; one
// killed after the switch leaves a note the next verify, update or move
// acts on.
#include <atomic>

#include "client/context.h"

namespace tarn {

struct FileList;

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

// The record's note of the folder a copy came from, set in the same
// rewrite that points "path" at the copy and cleared once the old copy is
// gone. Launchers that know nothing of it pass over it and keep it.
inline constexpr const char* kMovedFromKey = "movedFrom";

// A move cut off after its record switched leaves the old copy behind:
// with the signed list at hand, its listed files (and the version stamp,
// when it is the copy's twin), the marker in the client's folder and the
// folders left empty go, then the note is cleared. Nothing the list does
// not name, nothing through a link, and nothing at all when the note names
// the client's folder, a folder around or inside it, or the launcher's; a
// note naming no folder is just cleared. The caller holds the writer guard.
void FinishEarlierMove(ClientContext& ctx, const FileList& list);
// The same for a job that writes no client file: only when a note is there
// and nobody writes the client this moment (a move under way finishes its
// own).
void FinishEarlierMoveIfFree(ClientContext& ctx, const FileList& list);

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
