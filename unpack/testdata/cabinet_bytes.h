// Test-only helpers: where the generated test data lies, and byte surgery on
// gcab cabinets (no checksum covers the header or the file entries, so they
// can be patched freely; a data block carries its own checksum).
#ifndef UNPACK_TESTDATA_CABINET_BYTES_H_
#define UNPACK_TESTDATA_CABINET_BYTES_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "testing/test_paths.h"

namespace unpack_testing {

inline std::wstring TestDataPath(const std::string& name) {
  return testing_support::TestFile("unpack/testdata/" + name);
}

inline std::string ReadTestData(const std::string& name) {
  return testing_support::ReadWholeFile(TestDataPath(name));
}

inline uint32_t Read16(const std::string& bytes, size_t offset) {
  return static_cast<uint8_t>(bytes[offset]) |
         (static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

inline uint32_t Read32(const std::string& bytes, size_t offset) {
  return Read16(bytes, offset) | (Read16(bytes, offset + 2) << 16);
}

inline void Write16(std::string* bytes, size_t offset, uint32_t value) {
  (*bytes)[offset] = static_cast<char>(value & 0xFF);
  (*bytes)[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}

inline void Write32(std::string* bytes, size_t offset, uint32_t value) {
  Write16(bytes, offset, value & 0xFFFF);
  Write16(bytes, offset + 2, value >> 16);
}

// Header fields of a cabinet without reserved areas (gcab writes none).
constexpr size_t kCabinetSize = 8;
constexpr size_t kFirstFileOffset = 16;
constexpr size_t kHeaderFlags = 30;
constexpr size_t kHeaderSize = 36;
// The first folder entry follows the header.
constexpr size_t kFolderDataOffset = kHeaderSize;
constexpr size_t kFolderBlockCount = kHeaderSize + 4;
constexpr size_t kFolderCompression = kHeaderSize + 6;

struct CabinetFile {
  size_t entry;  // offset of the file entry in the cabinet
  uint32_t size;
  uint32_t folder;
  uint32_t dos_date;
  uint32_t dos_time;
  uint32_t attributes;
};

inline CabinetFile FirstFile(const std::string& cabinet) {
  const size_t entry = Read32(cabinet, kFirstFileOffset);
  return CabinetFile{entry,
                     Read32(cabinet, entry),
                     Read16(cabinet, entry + 8),
                     Read16(cabinet, entry + 10),
                     Read16(cabinet, entry + 12),
                     Read16(cabinet, entry + 14)};
}

inline void SetFirstFileFolder(std::string* cabinet, uint32_t folder) {
  Write16(cabinet, FirstFile(*cabinet).entry + 8, folder);
}

inline void SetFirstFileAttributes(std::string* cabinet, uint32_t attributes) {
  Write16(cabinet, FirstFile(*cabinet).entry + 14, attributes);
}

// Offsets of the first folder's data blocks (checksum, compressed size,
// uncompressed size, then the data).
inline std::vector<size_t> DataBlocks(const std::string& cabinet) {
  std::vector<size_t> blocks;
  size_t offset = Read32(cabinet, kFolderDataOffset);
  const uint32_t count = Read16(cabinet, kFolderBlockCount);
  for (uint32_t i = 0; i < count; ++i) {
    blocks.push_back(offset);
    offset += 8 + Read16(cabinet, offset + 4);
  }
  return blocks;
}

// Flips compressed bytes of the block in the middle. With `drop_checksum`
// the block's checksum is cleared (0 means none), so that the decompressor
// itself has to notice; otherwise the checksum no longer matches.
inline std::string DamageMiddleBlock(const std::string& cabinet,
                                     bool drop_checksum) {
  std::string damaged = cabinet;
  const std::vector<size_t> blocks = DataBlocks(cabinet);
  const size_t block = blocks[blocks.size() / 2];
  if (drop_checksum) Write32(&damaged, block, 0);
  // The block's "CK" signature and the deflate stream behind it.
  for (size_t i = 8; i < 48; ++i) damaged[block + i] ^= 0x5A;
  return damaged;
}

// Turns a one-file cabinet into the first part of a set: the header names a
// next cabinet, the file is marked as continuing into it, and the folder
// ends with a block that is completed in the next cabinet.
inline std::string ContinueIntoNextCabinet(const std::string& cabinet,
                                           uint32_t blocks_kept) {
  const std::vector<size_t> blocks = DataBlocks(cabinet);
  const std::string names("next.cab\0disk2\0", 15);
  std::string part = cabinet.substr(0, kHeaderSize) + names +
                     cabinet.substr(kHeaderSize, blocks[blocks_kept] -
                                                     kHeaderSize);
  const uint32_t shift = static_cast<uint32_t>(names.size());
  Write16(&part, kHeaderFlags, Read16(part, kHeaderFlags) | 0x0002);
  Write32(&part, kCabinetSize, static_cast<uint32_t>(part.size()));
  Write32(&part, kFirstFileOffset, Read32(part, kFirstFileOffset) + shift);
  Write32(&part, kFolderDataOffset + shift,
          Read32(part, kFolderDataOffset + shift) + shift);
  Write16(&part, kFolderBlockCount + shift, blocks_kept);
  const size_t last = blocks[blocks_kept - 1] + shift;
  Write32(&part, last, 0);      // no checksum
  Write16(&part, last + 6, 0);  // uncompressed size 0: continued
  SetFirstFileFolder(&part, 0xFFFE);
  return part;
}

}  // namespace unpack_testing

#endif  // UNPACK_TESTDATA_CABINET_BYTES_H_
