// Volumes for the FAT tests: in memory or in an image file, one per FAT type.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/fat_volume.h"

// A size (in 512-byte sectors) that makes each FAT type; FAT32 is forced on
// a volume just big enough for it, as the size table gives FAT32 only past
// 512 MB.
struct FatKind {
  const char* name;
  uint32_t sectors;
  FatType type;  // asked of the formatter
  FatType made;  // what the volume is
};
extern const FatKind kFatKinds[3];
std::string FatKindName(const testing::TestParamInfo<FatKind>& info);

// File time of 2021-06-15 10:20:30.
constexpr uint64_t kFatTestNow = 132682260300000000ull;

struct MemoryVolume {
  FatMemoryDevice memory;
  FatDevice device;
  FatVolume volume;
};
// Formats and mounts; fails the test when either fails.
void MakeMemoryVolume(const FatKind& kind, MemoryVolume* v);

std::vector<uint8_t> Pattern(size_t length, uint32_t seed);
// Creates the file and writes `data` at 0.
void PutFile(FatVolume* v, const std::u16string& path, const std::vector<uint8_t>& data);
// The whole file; empty (and a test failure) when it cannot be read.
std::vector<uint8_t> GetFile(FatVolume* v, const std::u16string& path);
std::vector<std::u16string> Names(FatVolume* v, const std::u16string& path);
uint64_t FreeBytes(FatVolume* v);
std::string Utf8(const std::u16string& text);
