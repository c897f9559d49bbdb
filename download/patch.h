#pragma once
// Patching a listed file from the copy already on the disk: the blocks of
// the new file that the old copy holds (found by the block index's rolling
// checksum, wherever they sit) are copied, only the rest is fetched, with
// one single-range request per run of missing blocks. The new file grows
// front to back in the ".part" file a whole download uses, so either road
// resumes the other's. Nothing but the list's MD5 decides that the result
// is right; whatever looks wrong on the way sends the file down the whole
// road instead.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/limiter.h"
#include "client/block_index.h"
#include "download/result.h"
#include "download/session.h"
#include "platform/input_file.h"

namespace tarn {

// Where each block of index sits in old: its offset there, or -1 when old
// does not hold it. Reads old once, front to back. Nothing when stop was
// raised or old could not be read to its end.
std::optional<std::vector<int64_t>> FindKeptBlocks(const BlockIndex& index, InputFile& old,
                                                   const std::atomic<bool>& stop);

// One piece of the new file: copied from the old copy at source, or
// fetched (source -1).
struct PatchPiece {
  uint64_t offset = 0;
  uint64_t length = 0;
  int64_t source = -1;
};

// The pieces of the new file in order, neighbours of one kind joined: a
// run of missing blocks is one range, a run of blocks that sit one after
// another in the old copy is one copy.
std::vector<PatchPiece> PlanPatch(const BlockIndex& index, const std::vector<int64_t>& kept);

// The bytes a plan fetches.
uint64_t FetchedBytes(const std::vector<PatchPiece>& plan);

// Brings targetPath's ".part" file to the listed file (md5, size) from the
// old copy at targetPath and the block index beside requestPath, as
// Receive does for the whole file; Ok leaves fetched as Receive leaves it,
// with patched set. Nothing when the file should come whole instead: too
// small for an index, no old copy, no index or one that does not describe
// this file, a server that does not answer ranges as asked, an old copy
// that changed meanwhile, or a result whose MD5 is not the list's. A ".part"
// file is untouched when that is known before the assembly starts, and
// removed after, since it may then hold what a lying index put there.
// A range answered with the whole file (a 200 of the listed size) is
// taken as the whole download would take it: Ok with patched unset, or
// Corrupt. Other results keep the ".part" file for the next call. progress
// hears only of a file that is whole (its size): the copies are no bytes
// moved, and a patch that falls back must not have shown bytes it drops.
std::optional<DownloadResult> PatchFromOldCopy(DownloadContext& ctx, const std::string& requestPath,
                                               const std::string& targetPath, std::string_view md5, uint64_t size,
                                               DownloadFlags flags, const ProgressCallback& progress,
                                               FetchedFile& fetched);

}  // namespace tarn
