#include "tests/fat/fat_fixture.h"

#include <random>

const FatKind kFatKinds[3] = {
    {"Fat12", 4096, FatType::Auto, FatType::Fat12},
    {"Fat16", 20480, FatType::Auto, FatType::Fat16},
    {"Fat32", 70000, FatType::Fat32, FatType::Fat32},
};

std::string FatKindName(const testing::TestParamInfo<FatKind>& info) { return info.param.name; }

void MakeMemoryVolume(const FatKind& kind, MemoryVolume* v) {
  FatMemoryDeviceInit(&v->memory, 512, kind.sectors);
  v->device = FatMemoryDeviceAccess(&v->memory);
  FatFormatOptions options;
  options.type = kind.type;
  options.label = u"TESTVOL";
  options.serial = 0x1234ABCD;
  ASSERT_EQ(FatFormat(v->device, options), FatResult::Ok);
  ASSERT_EQ(FatMount(v->device, &v->volume), FatResult::Ok);
  ASSERT_EQ(v->volume.type, kind.made);
}

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() | 1);  // never zero, so a zeroed byte shows
  return bytes;
}

void PutFile(FatVolume* v, const std::u16string& path, const std::vector<uint8_t>& data) {
  ASSERT_EQ(FatCreateFile(v, path, kFatArchive, kFatTestNow), FatResult::Ok) << Utf8(path);
  ASSERT_EQ(FatWrite(v, path, 0, data.data(), static_cast<uint32_t>(data.size()), kFatTestNow), FatResult::Ok);
}

std::vector<uint8_t> GetFile(FatVolume* v, const std::u16string& path) {
  FatEntryInfo info;
  EXPECT_EQ(FatStat(v, path, &info), FatResult::Ok) << Utf8(path);
  std::vector<uint8_t> data(info.size);
  uint32_t done = 0;
  EXPECT_EQ(FatRead(v, path, 0, data.data(), info.size, &done), FatResult::Ok);
  EXPECT_EQ(done, info.size);
  return data;
}

std::vector<std::u16string> Names(FatVolume* v, const std::u16string& path) {
  std::vector<FatEntryInfo> entries;
  EXPECT_EQ(FatList(v, path, &entries), FatResult::Ok) << Utf8(path);
  std::vector<std::u16string> names;
  for (const FatEntryInfo& e : entries) names.push_back(e.name);
  return names;
}

uint64_t FreeBytes(FatVolume* v) {
  FatSpace space;
  EXPECT_EQ(FatGetSpace(v, &space), FatResult::Ok);
  return space.freeBytes;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
