// A block index from a server: read exactly or refused, and a plan made
// from it covers the file once, front to back, whatever blocks are kept.
#include <string>
#include <vector>

#include "client/block_index.h"
#include "download/patch.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = fuzz::Bytes(data, size);
  BlockIndex index;
  if (!ParseBlockIndex(bytes, index)) return 0;
  Check(WriteBlockIndex(index) == bytes, "an index reads back as the bytes it came from");
  Check(bytes.size() <= MaxBlockIndexBytes(index.fileSize), "an index read is never larger than its bound");
  Check(index.md5.size() == 32, "an index names an MD5");
  // Every other block kept somewhere, steered by its weak sum.
  std::vector<int64_t> kept(index.blocks.size(), -1);
  for (size_t i = 0; i < kept.size(); ++i)
    if (index.blocks[i].weak & 1) kept[i] = static_cast<int64_t>(index.blocks[i].weak >> 1);
  uint64_t covered = 0;
  for (const PatchPiece& piece : PlanPatch(index, kept)) {
    Check(piece.offset == covered && piece.length > 0, "pieces follow one another without gaps");
    covered += piece.length;
  }
  Check(covered == index.fileSize, "the pieces cover the file exactly");
  return 0;
}
