#include "tests/support/module_content.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "module/module_image.h"
#include "module/nand_block_map.h"

namespace {

// The image of the module in `dir`, opened for the duration of one call.
struct OpenImage {
  ModuleImage image;
  bool open = false;
  explicit OpenImage(const std::string& dir) {
    Module module;
    std::string error;
    open = ModuleOpen(dir, &module, &error) && ModuleImageOpen(module, &image, &error);
    if (!open) ADD_FAILURE() << "cannot open the flash of " << dir << ": " << error;
  }
  ~OpenImage() { ModuleImageClose(&image); }
  const ModuleFlash& flash() const { return image.flash; }
};

}  // namespace

std::vector<uint8_t> ModuleFlashContent(const std::string& dir, uint32_t offset, uint32_t length) {
  OpenImage image(dir);
  if (!image.open) return {};
  const ModuleFlash& f = image.flash();
  uint32_t size = f.ops->size(f.ctx);
  std::vector<uint8_t> bytes(offset < size ? std::min(length, size - offset) : 0);
  EXPECT_TRUE(ModuleFlashRead(f, offset, bytes.data(), static_cast<uint32_t>(bytes.size())));
  return bytes;
}

std::vector<uint8_t> ModuleFlashCells(const std::string& dir) {
  std::string path = ModuleFlashPath(dir);
  std::error_code ec;
  std::vector<uint8_t> bytes(std::filesystem::file_size(path, ec));
  std::ifstream image(path, std::ios::binary);
  image.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(!ec && image.good()) << "cannot read " << path;
  return bytes;
}

void ModuleFlashPut(const std::string& dir, uint32_t offset, const std::vector<uint8_t>& bytes) {
  OpenImage image(dir);
  if (!image.open || bytes.empty()) return;
  const ModuleFlash& f = image.flash();
  uint32_t block = f.ops->blockSize(f.ctx, offset);
  uint32_t first = offset / block * block;
  uint64_t end = (uint64_t{offset} + bytes.size() + block - 1) / block * block;
  std::vector<uint8_t> area(static_cast<size_t>(end - first));
  ASSERT_TRUE(ModuleFlashRead(f, first, area.data(), static_cast<uint32_t>(area.size())));
  std::copy(bytes.begin(), bytes.end(), area.begin() + (offset - first));
  ASSERT_TRUE(ModuleFlashErase(f, first, static_cast<uint32_t>(area.size())));
  ASSERT_TRUE(ModuleFlashProgram(f, first, area.data(), static_cast<uint32_t>(area.size())));
}

uint32_t ModuleEraseBlock(const std::string& dir, uint32_t offset) {
  OpenImage image(dir);
  return image.open ? image.flash().ops->blockSize(image.flash().ctx, offset) : 0;
}

uint32_t ModuleNandBlockOf(const std::string& dir, uint32_t offset) {
  NandBlockMap map;
  bool built = false;
  std::string error;
  if (!NandBlockMapOpenIfBuilt(ModuleShmPath(dir), &map, &built, &error) || !built) {
    ADD_FAILURE() << "no block map built on " << dir << ": " << error;
    return UINT32_MAX;
  }
  uint32_t block = NandBlockMapGet(map, offset / kNandBlockBytes);
  NandBlockMapClose(&map);
  return block;
}
