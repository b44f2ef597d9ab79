// Image files against validation and update, on a fail-safe (two-stage
// boot) NOR module: the input is the file. Checked after each:
// - a file validation refuses leaves the flash as it was;
// - a file that validates with its checksums also validates without them,
//   with the same summary;
// - an update, however it ends, changes nothing outside the erase blocks of
//   the ranges the library reported, and never the first bootloader.
#include <algorithm>
#include <cstring>

#include "fuzz/support/fuzz_module.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "platform/platform.h"

namespace {

constexpr const char* kImageName = "fuzz.bin";

struct ImageTarget {
  bool made = false;
  // The last input reached the update; one that was only validated read
  // the module and left nothing to put back.
  bool updated = false;
  FuzzRange firstBootloader = {0, 0};
};

ImageTarget g_target;

FuzzRange RegionRange(uint32_t id) {
  RegionSummary region = {id, 0, 0, 0};
  if (FWLGetRegionInfo(&region, nullptr) != FWL_OK) FuzzFail("the module has no region 0x%X", id);
  return {region.start, uint64_t{region.start} + region.length};
}

void Start() {
  if (!g_target.made) {
    FuzzModuleMake("nor", {"board.two_stage=true"});
    g_target.made = true;
    if (FWLInit() != FWL_OK) FuzzFail("the library does not start");
    RegionSummary boot = {REGION_BOOTLOADER, 0, 0, 0};
    if (FWLGetRegionInfo(&boot, nullptr) != FWL_OK || (boot.flags & REGION_FIRST_BOOTLOADER) == 0) {
      FuzzFail("the module does not boot in two stages");
    }
    g_target.firstBootloader = RegionRange(REGION_BOOTLOADER);
    return;
  }
  if (!g_target.updated) return;
  g_target.updated = false;
  FuzzModuleRestore();
  if (FWLInit() != FWL_OK) FuzzFail("the library does not start again");
}

// [from, to) widened to the erase blocks it touches.
FuzzRange Blocks(uint64_t from, uint64_t to) {
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  if (flash == nullptr) FuzzFail("no flash: %s", error.c_str());
  uint32_t size = flash->ops->size(flash->ctx);
  if (from >= size || to <= from) return {from, std::max(from, to)};
  uint32_t first = static_cast<uint32_t>(from);
  uint32_t last = static_cast<uint32_t>(std::min<uint64_t>(to, size) - 1);
  uint32_t firstBlock = flash->ops->blockSize(flash->ctx, first);
  uint32_t lastBlock = flash->ops->blockSize(flash->ctx, last);
  return {first / firstBlock * firstBlock, (uint64_t{last} / lastBlock + 1) * lastBlock};
}

bool Inside(const FuzzRange& r, const std::vector<FuzzRange>& allowed) {
  for (const FuzzRange& a : allowed) {
    if (r.from >= a.from && r.to <= a.to) return true;
  }
  return false;
}

void ExpectFlashAsMade(const char* after, uint32_t result) {
  std::vector<FuzzRange> changed = FuzzFlashChanges();
  if (!changed.empty()) {
    FuzzFail("%s (%u) changed the flash at 0x%llX", after, result, static_cast<unsigned long long>(changed[0].from));
  }
}

void Update(const RegionSummary& summary) {
  const ImageDescription image = FwlState()->image;
  g_target.updated = true;
  uint32_t result = FWLDoUpdate(nullptr, nullptr, nullptr);
  if (result == FWL_ERR_AREA) return ExpectFlashAsMade("a refused update", result);
  // What the library said it would write: the summary's range, in whole erase blocks.
  std::vector<FuzzRange> allowed;
  if ((image.contents & (IMAGE_CONTENT_BIN | IMAGE_CONTENT_FS_STREAM)) != 0) {
    allowed.push_back(Blocks(summary.start, uint64_t{summary.start} + summary.length));
  }
  for (const FuzzRange& r : FuzzFlashChanges()) {
    if (r.from < g_target.firstBootloader.to && r.to > g_target.firstBootloader.from) {
      FuzzFail("the update (%u) wrote the first bootloader at 0x%llX", result, static_cast<unsigned long long>(r.from));
    }
    if (!Inside(r, allowed)) {
      FuzzFail("the update (%u) wrote 0x%llX-0x%llX, outside what it reported", result,
               static_cast<unsigned long long>(r.from), static_cast<unsigned long long>(r.to));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Start();
  std::u16string path = FuzzPlaceImage(kImageName, data, size);
  RegionSummary quick = {}, checked = {};
  uint32_t unverified = FWLSetBinFile(path.c_str(), &quick, nullptr, 0);
  uint32_t verified = FWLSetBinFile(path.c_str(), &checked, nullptr, 1);
  if (verified == FWL_OK && (unverified != FWL_OK || std::memcmp(&quick, &checked, sizeof quick) != 0)) {
    FuzzFail("the file validates with its checksums (%u) but not the same without (%u)", verified, unverified);
  }
  // Validation only reads: checked here when it refused, with the update's
  // writes when it did not.
  if (unverified != FWL_OK) {
    ExpectFlashAsMade("validation", unverified);
    return 0;
  }
  // A file whose checksums fail is still updated as opened without them:
  // the update must catch what validation skipped.
  if (verified != FWL_OK && FWLSetBinFile(path.c_str(), &quick, nullptr, 0) != FWL_OK) {
    FuzzFail("the file validated once without its checksums, but not twice");
  }
  Update(quick);
  return 0;
}
