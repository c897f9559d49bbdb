#include "client/block_index.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/crypto.h"
#include "platform/input_file.h"

namespace tarn {
namespace {

constexpr std::string_view kMark = "TRNBLK1\n";
constexpr size_t kHeaderBytes = 8 + 8 + 16 + 4;
constexpr size_t kEntryBytes = 4 + 16;
constexpr uint32_t kSmallestBlock = 4u << 10;
constexpr uint32_t kLargestBlock = 64u << 20;
constexpr uint64_t kLargestFile = 1ull << 40;
constexpr uint32_t kPublishedBlock = 16u << 10;
constexpr uint64_t kMostBlocks = 1u << 18;

void PutNumber(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t GetNumber(std::string_view in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Md5FromHex(std::string_view hex, std::string& raw) {
  if (hex.size() != 32) return false;
  raw.clear();
  for (size_t i = 0; i < 32; i += 2) {
    const int hi = HexDigit(hex[i]);
    const int lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    raw += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

std::string Md5ToHex(std::string_view raw) {
  Md5Digest digest{};
  std::memcpy(digest.data(), raw.data(), std::min(raw.size(), digest.size()));
  return Md5DigestHex(digest);
}

uint64_t BlockCount(uint64_t fileSize, uint32_t blockSize) { return (fileSize + blockSize - 1) / blockSize; }

}  // namespace

uint32_t BlockSizeFor(uint64_t fileSize) {
  uint32_t size = kPublishedBlock;
  while (BlockCount(fileSize, size) > kMostBlocks && size < kLargestBlock) size *= 2;
  return size;
}

uint64_t BlockLength(const BlockIndex& index, size_t i) {
  const uint64_t start = static_cast<uint64_t>(i) * index.blockSize;
  return std::min<uint64_t>(index.blockSize, index.fileSize - start);
}

WeakSum WeakSumOf(std::string_view bytes) {
  WeakSum sum;
  sum.length = static_cast<uint32_t>(bytes.size());
  uint32_t weight = sum.length;
  for (unsigned char c : bytes) {
    sum.a += c;
    sum.b += weight-- * static_cast<uint32_t>(c);
  }
  return sum;
}

bool StrongHashOf(std::string_view bytes, StrongHash& strong) {
  Sha256Digest full{};
  if (!Sha256Of(bytes, full)) return false;
  std::memcpy(strong.data(), full.data(), strong.size());
  return true;
}

std::string WriteBlockIndex(const BlockIndex& index) {
  std::string out(kMark);
  out.reserve(kHeaderBytes + index.blocks.size() * kEntryBytes);
  PutNumber(out, index.fileSize, 8);
  std::string raw;
  Md5FromHex(index.md5, raw);
  raw.resize(16, '\0');
  out += raw;
  PutNumber(out, index.blockSize, 4);
  for (const BlockSum& block : index.blocks) {
    PutNumber(out, block.weak, 4);
    out.append(reinterpret_cast<const char*>(block.strong.data()), block.strong.size());
  }
  return out;
}

uint64_t MaxBlockIndexBytes(uint64_t fileSize) {
  return kHeaderBytes + BlockCount(std::min(fileSize, kLargestFile), kSmallestBlock) * kEntryBytes;
}

bool ParseBlockIndex(std::string_view bytes, BlockIndex& index) {
  if (bytes.size() < kHeaderBytes || bytes.substr(0, kMark.size()) != kMark) return false;
  const uint64_t fileSize = GetNumber(bytes, 8, 8);
  const uint32_t blockSize = static_cast<uint32_t>(GetNumber(bytes, 32, 4));
  if (fileSize > kLargestFile || blockSize < kSmallestBlock || blockSize > kLargestBlock) return false;
  const uint64_t count = BlockCount(fileSize, blockSize);
  if (bytes.size() != kHeaderBytes + count * kEntryBytes) return false;
  index.fileSize = fileSize;
  index.md5 = Md5ToHex(bytes.substr(16, 16));
  index.blockSize = blockSize;
  index.blocks.assign(static_cast<size_t>(count), BlockSum{});
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kHeaderBytes + i * kEntryBytes;
    index.blocks[i].weak = static_cast<uint32_t>(GetNumber(bytes, at, 4));
    std::memcpy(index.blocks[i].strong.data(), bytes.data() + at + 4, 16);
  }
  return true;
}

bool BuildBlockIndex(const std::string& path, uint64_t size, std::string_view md5Hex, BlockIndex& index) {
  std::string raw;
  if (!Md5FromHex(md5Hex, raw) || size > kLargestFile) return false;
  InputFile file;
  if (!OpenInputFile(path, file)) return false;
  index.fileSize = size;
  index.md5 = Md5ToHex(raw);
  index.blockSize = BlockSizeFor(size);
  index.blocks.clear();
  index.blocks.reserve(static_cast<size_t>(BlockCount(size, index.blockSize)));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[index.blockSize]);
  if (!buffer) return false;
  uint64_t at = 0;
  while (at < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(index.blockSize, size - at));
    size_t got = 0;
    while (got < want) {
      const int64_t n = ReadInputFile(file, at + got, buffer.get() + got, want - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    const std::string_view block(buffer.get(), want);
    BlockSum sum;
    sum.weak = WeakSumOf(block).value();
    if (!StrongHashOf(block, sum.strong)) return false;
    index.blocks.push_back(sum);
    at += want;
  }
  // A file longer than its listed size is not the listed file.
  char extra = 0;
  return ReadInputFile(file, size, &extra, 1) == 0;
}

}  // namespace tarn
