#include "tests/normodel/nor_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "module/nor_chips.h"
#include "tests/support/temp_module.h"

namespace {
constexpr uint32_t kWriteChunk = 1 << 20;
}

uint8_t PatternByte(uint32_t offset) {
  return static_cast<uint8_t>((offset >> 2) * 37 + (offset & 3) * 101 + (offset >> 13) + 0x5A);
}

std::string MakeFlashImage(uint32_t bytes, Fill fill) {
  std::string dir = MakeTempDir("normodel");
  std::string path = dir + "/flash.img";
  int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  if (fd < 0) return path;
  EXPECT_EQ(::ftruncate(fd, bytes), 0);
  if (fill == Fill::Pattern) {
    std::vector<uint8_t> chunk(kWriteChunk);
    for (uint32_t at = 0; at < bytes; at += kWriteChunk) {
      for (uint32_t i = 0; i < kWriteChunk; i++) chunk[i] = PatternByte(at + i);
      EXPECT_EQ(::pwrite(fd, chunk.data(), kWriteChunk, at), static_cast<ssize_t>(kWriteChunk));
    }
  }
  ::close(fd);
  return path;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> data;
  int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return data;
  off_t size = ::lseek(fd, 0, SEEK_END);
  data.resize(static_cast<size_t>(size));
  EXPECT_EQ(::pread(fd, data.data(), data.size(), 0), size);
  ::close(fd);
  return data;
}

uint32_t WordAt(const std::vector<uint8_t>& image, uint32_t offset) {
  return uint32_t{image[offset]} | uint32_t{image[offset + 1]} << 8 | uint32_t{image[offset + 2]} << 16 |
         uint32_t{image[offset + 3]} << 24;
}

::testing::AssertionResult SameOutside(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                       uint32_t first, uint32_t end) {
  if (before.size() != after.size()) return ::testing::AssertionFailure() << "the image changed size";
  auto differs = [&](size_t from, size_t to) -> size_t {
    if (from >= to || std::memcmp(before.data() + from, after.data() + from, to - from) == 0) return to;
    while (before[from] == after[from]) from++;
    return from;
  };
  size_t low = std::min<size_t>(first, before.size());
  size_t high = std::min<size_t>(std::max(first, end), before.size());
  size_t at = differs(0, low);
  if (at == low) at = differs(high, before.size());
  if (at == before.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "byte 0x" << std::hex << at << " changed outside [0x" << first << ", 0x"
                                       << end << ")";
}

void NorTest::TearDown() {
  NorModelClose(model_);
  model_ = nullptr;
}

void NorTest::Open(Fill fill) {
  path_ = MakeFlashImage(NorPairBytes(config_.norDeviceCode), fill);
  Reopen();
}

void NorTest::Reopen() {
  NorModelClose(model_);
  std::string error;
  model_ = NorModelOpen(path_, "", config_, &error);
  ASSERT_NE(model_, nullptr) << error;
}

uint32_t NorTest::Read(uint32_t offset) { return bus_->read32(model_, offset); }
void NorTest::Write(uint32_t offset, uint32_t value) { bus_->write32(model_, offset, value); }

uint32_t NorTest::Unlock(uint32_t offset) {
  Command(offset, 0x60);
  Command(offset, 0xD0);
  uint32_t status = Read(offset);
  Command(offset, 0xFF);
  return status;
}

uint32_t NorTest::Erase(uint32_t offset) {
  Command(offset, 0x20);
  Command(offset, 0xD0);
  uint32_t status = Read(offset);
  Command(offset, 0xFF);
  return status;
}

uint32_t NorTest::ProgramWord(uint32_t offset, uint32_t value) {
  Command(offset, 0x40);
  Write(offset, value);
  uint32_t status = Read(offset);
  Command(offset, 0xFF);
  return status;
}

uint32_t NorTest::BufferProgram(uint32_t offset, const std::vector<uint32_t>& words) {
  uint32_t count = static_cast<uint32_t>(words.size()) - 1;
  Command(offset, 0xE8);
  Write(offset, count * kBoth);
  for (size_t i = 0; i < words.size(); i++) Write(offset + 4 * static_cast<uint32_t>(i), words[i]);
  Command(offset, 0xD0);
  uint32_t status = Read(offset);
  Command(offset, 0xFF);
  return status;
}

uint32_t NorTest::LockStatus(uint32_t blockOffset) {
  Command(blockOffset, 0x90);
  uint32_t status = Read(blockOffset + 8);
  Command(blockOffset, 0xFF);
  return status;
}
