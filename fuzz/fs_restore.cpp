// File-system streams restored onto the flash disk of a NOR module: the input
// is the image file, streams and whatever follows them. It is opened without
// its checksums, so that the restore itself meets what validation would have
// caught. However the restore ends, the flash may change only inside the
// module's File System region or the range the stream reported for itself.
#include "fuzz/support/fuzz_module.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"

namespace {

constexpr const char* kImageName = "stream.bin";

struct RestoreTarget {
  bool made = false;
  bool restored = false;  // the last input reached the restore
  FuzzRange fileSystem = {0, 0};
};

RestoreTarget g_target;

void Start() {
  if (g_target.made && !g_target.restored) return;  // a refused file left nothing to put back
  if (g_target.made) {
    FuzzModuleRestore();
  } else {
    FuzzModuleMake("nor");
    g_target.made = true;
  }
  g_target.restored = false;
  if (FWLInit() != FWL_OK) FuzzFail("the library does not start");
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  if (FWLGetRegionInfo(&fs, nullptr) != FWL_OK) FuzzFail("the module has no file system");
  g_target.fileSystem = {fs.start, uint64_t{fs.start} + fs.length};
}

bool Inside(const FuzzRange& r, const FuzzRange& area) { return r.from >= area.from && r.to <= area.to; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Start();
  std::u16string path = FuzzPlaceImage(kImageName, data, size);
  RegionSummary summary = {};
  uint32_t opened = FWLSetBinFile(path.c_str(), &summary, nullptr, 0);
  // BIN records are the image target's: here they would only widen what may change.
  if (opened == FWL_OK && (summary.flags & IMAGE_HAS_BIN_RECORDS) != 0) return 0;
  g_target.restored = opened == FWL_OK;
  uint32_t result = opened == FWL_OK ? FWLDoUpdate(nullptr, nullptr, nullptr) : opened;
  FuzzRange reported = {summary.start, uint64_t{summary.start} + summary.length};
  for (const FuzzRange& r : FuzzFlashChanges()) {
    if (opened != FWL_OK || (!Inside(r, g_target.fileSystem) && !Inside(r, reported))) {
      FuzzFail("the restore (%u) changed the flash at 0x%llX-0x%llX", result, static_cast<unsigned long long>(r.from),
               static_cast<unsigned long long>(r.to));
    }
  }
  return 0;
}
