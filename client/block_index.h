#pragma once
// The block index published beside a large client file: its size and MD5
// as the list gives them, a block size, and for every block a weak rolling
// checksum and a strong hash. With it a launcher that holds an older copy
// finds the blocks it already has, wherever they now sit, and fetches only
// the rest. The publisher writes it and the launcher reads it, so both take
// the format from here.
//
// The format, all numbers little-endian:
//   "TRNBLK1\n"                 8 bytes
//   file size                   u64
//   file MD5                    16 bytes
//   block size                  u32
//   per block, in file order:   weak u32, strong 16 bytes
// The block count follows from the sizes (the last block may be short),
// and the index is exactly that long.
//
// The strong hash is SHA-256 cut to its first 128 bits. A block the index
// does not describe passes for one it does only by a 128-bit collision:
// over every position of a large file against every block of its index,
// about 2^-80 for a 4 GiB pack; half of SHA-256 keeps the index at 20 bytes
// a block. The list's MD5 still decides whether the assembled file is right.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Files below this size get no index: a whole one costs a request or two,
// and a patch of it would cost an index request and a scan besides.
inline constexpr uint64_t kBlockIndexMinBytes = 1u << 20;

// The block size the publisher uses for a file of this size: 16 KiB, doubled
// while the file would have more than 2^18 blocks. At 20 bytes a block the
// index stays at about 0.12 % of its file; a change costs at most one block
// on either side of it.
uint32_t BlockSizeFor(uint64_t fileSize);

using StrongHash = std::array<unsigned char, 16>;

struct BlockSum {
  uint32_t weak = 0;
  StrongHash strong{};
  bool operator==(const BlockSum&) const = default;
};

struct BlockIndex {
  uint64_t fileSize = 0;
  std::string md5;  // 32 lower-case hex digits
  uint32_t blockSize = 0;
  std::vector<BlockSum> blocks;
};

// The length of block i of index (the last one may be short).
uint64_t BlockLength(const BlockIndex& index, size_t i);

// The rolling checksum of a window of bytes: two 16-bit sums, the plain one
// in the low half and the one weighted by position in the high half. It
// moves one byte along in constant time (Roll).
struct WeakSum {
  uint32_t a = 0;
  uint32_t b = 0;
  uint32_t length = 0;
  uint32_t value() const { return (a & 0xffff) | (b << 16); }
  void Roll(unsigned char out, unsigned char in) {
    a += static_cast<uint32_t>(in) - out;
    b += a - length * static_cast<uint32_t>(out);
  }
};
WeakSum WeakSumOf(std::string_view bytes);

// The strong hash of one block; false when it cannot be computed.
bool StrongHashOf(std::string_view bytes, StrongHash& strong);

// The index's bytes as published.
std::string WriteBlockIndex(const BlockIndex& index);

// Reads an index from outside. False for anything but exactly the format
// above: a wrong mark or length, a block size outside 4 KiB..64 MiB, a file
// over 1 TiB.
bool ParseBlockIndex(std::string_view bytes, BlockIndex& index);

// The most bytes a well-formed index of a file of fileSize can take; a
// larger answer is not read.
uint64_t MaxBlockIndexBytes(uint64_t fileSize);

// Reads the file at path once and describes it with md5Hex (its listed MD5,
// taken as given). False when it cannot be read whole or is not size bytes.
bool BuildBlockIndex(const std::string& path, uint64_t size, std::string_view md5Hex, BlockIndex& index);

}  // namespace tarn
