// fwimage info: the parts of an image file with every checksum checked and,
// given a module, where each record lands in its flash and in which region.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "fwlib/cpld_stream.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "platform/text.h"
#include "tools/fwimage/commands.h"
#include "tools/common/format.h"

namespace {

// The module's fixed regions and the facts that move an image.
constexpr uint32_t kBootloaderBytes = 0x40000;
constexpr uint32_t kConfigBlockBase = 0x40000;
constexpr uint32_t kConfigBlockBytes = 0x40000;
constexpr uint32_t kBootStageWordOffset = 16;
constexpr uint32_t kFirstOfTwoStages = 2;

struct Region {
  std::string name;
  uint32_t base = 0;
  uint64_t end = 0;  // 0: up to the next region
};

// The module as an image lands on it.
struct Target {
  std::string dir;
  uint32_t osBase = 0;
  uint32_t secondBootloaderBase = 0;
  bool firstBootloader = false;  // the bootloader at 0 is the first of two stages
  uint32_t flashBytes = 0;
  std::vector<Region> regions;  // sorted by base
};


const char* Ok(bool ok) { return ok ? "ok" : "BAD"; }

// The word region discovery reads, from the flash as the module's OS sees it.
bool FirstOfTwoStages(const Module& module) {
  ModuleImage image;
  std::string error;
  if (!ModuleImageOpen(module, &image, &error)) return false;
  uint8_t word[sizeof(uint32_t)] = {};
  bool found = ModuleFlashRead(image.flash, kBootStageWordOffset, word, sizeof word);
  ModuleImageClose(&image);
  uint32_t value = 0;
  for (uint32_t i = 0; i < sizeof word; i++) value |= uint32_t{word[i]} << (8 * i);
  return found && value == kFirstOfTwoStages;
}

bool LoadTarget(const std::string& dir, Target* t, std::string* error) {
  Module module;
  if (!ModuleOpen(dir, &module, error)) return false;
  const ModuleConfig& c = module.config;
  t->dir = module.dir;
  t->osBase = c.layoutOsImageBase;
  t->secondBootloaderBase = c.layoutSecondBootloaderBase;
  t->flashBytes = ModuleFlashBytes(c);
  t->firstBootloader = FirstOfTwoStages(module);
  uint64_t registryEnd = uint64_t{c.layoutRegistryBase} + 2 * uint64_t{c.layoutRegistryHalf};
  t->regions = {
      {t->firstBootloader ? "First Bootloader" : "Bootloader", 0, kBootloaderBytes},
      {"Config Block", kConfigBlockBase, kConfigBlockBase + kConfigBlockBytes},
      {"OS Image", c.layoutOsImageBase, 0},
      {"Registry", c.layoutRegistryBase, registryEnd},
  };
  if (c.layoutSecondBootloaderBase != 0) t->regions.push_back({"Second Bootloader", c.layoutSecondBootloaderBase, 0});
  if (c.flashDiskKey != FlashDiskKey::None && registryEnd < t->flashBytes) {
    t->regions.push_back({"File System", static_cast<uint32_t>(registryEnd), t->flashBytes});
  }
  std::stable_sort(t->regions.begin(), t->regions.end(), [](const Region& a, const Region& b) { return a.base < b.base; });
  for (size_t i = 0; i < t->regions.size(); i++) {
    if (t->regions[i].end == 0) t->regions[i].end = i + 1 < t->regions.size() ? t->regions[i + 1].base : t->flashBytes;
  }
  return true;
}

std::string RegionAt(const Target& t, uint64_t offset) {
  if (offset >= t.flashBytes) return "past the end of the flash";
  for (const Region& r : t.regions) {
    if (offset >= r.base && offset < r.end) return r.name;
  }
  return "no region";
}

struct Landing {
  bool accepted = false;
  uint32_t shift = 0;
  bool moved = false;    // onto the second bootloader
  bool refused = false;  // it would overwrite the first bootloader
};

Landing Land(const Target& t, uint32_t imageStart) {
  Landing l;
  l.accepted = BinAddressShiftFor(imageStart, t.osBase, &l.shift);
  uint32_t mapped = imageStart + l.shift;
  if (l.accepted && t.firstBootloader && mapped < kBootloaderBytes) {
    l.moved = true;
    l.shift += t.secondBootloaderBase;
    l.refused = mapped + t.secondBootloaderBase < kBootloaderBytes;
  }
  return l;
}

// Prints the BIN part; the count of faults found.
int ShowBinPart(const BinImageSeen& seen, const Target* target) {
  int faults = 0;
  std::printf("bin part    image start 0x%08" PRIX32 ", length 0x%08" PRIX32 ", %zu records", seen.imageStart,
              seen.imageLength, seen.records.size());
  if (seen.endRecord) std::printf(", entry 0x%08" PRIX32 "\n", seen.entryPoint);
  else std::printf(", NO END RECORD (the file ends inside the BIN part)\n");
  faults += seen.endRecord ? 0 : 1;
  std::optional<Landing> landing;
  uint32_t shift = 0;
  bool accepted = BinAddressShiftFor(seen.imageStart, target != nullptr ? target->osBase : 0, &shift);
  if (!accepted) {
    std::printf("            the update refuses this image start\n");
    faults++;
  }
  if (target != nullptr && accepted) {
    landing = Land(*target, seen.imageStart);
    std::printf("            lands at flash offset 0x%08" PRIX32 " of %s", seen.imageStart + landing->shift,
                target->dir.c_str());
    if (landing->moved) std::printf(", moved from the first bootloader onto the second");
    if (landing->refused) std::printf("; the update REFUSES it: it stays in the first bootloader");
    std::printf("\n");
  }
  std::printf("            %-4s %-10s  %-10s  %-10s %s%s\n", "#", "address", "length", "checksum", "   ",
              landing ? "  flash offset  region" : "");
  uint64_t rangeEnd = uint64_t{seen.imageStart} + seen.imageLength;
  for (size_t i = 0; i < seen.records.size(); i++) {
    const BinRecordSeen& r = seen.records[i];
    bool inside = r.address >= seen.imageStart && uint64_t{r.address} + r.length <= rangeEnd;
    std::string state = !r.complete ? "CUT SHORT" : Ok(r.checksumOk);
    faults += (r.complete && r.checksumOk ? 0 : 1) + (inside ? 0 : 1);
    std::printf("            %-4zu 0x%08" PRIX32 "  0x%08" PRIX32 "  0x%08" PRIX32 " %-3s", i + 1, r.address, r.length,
                r.checksum, state.c_str());
    if (landing) {
      uint32_t at = r.address + landing->shift;
      std::printf("  0x%08" PRIX32 "    %s", at, RegionAt(*target, at).c_str());
    }
    if (!inside) std::printf("  OUTSIDE THE IMAGE RANGE");
    std::printf("\n");
  }
  return faults;
}

int ShowStream(size_t index, const FsStreamSeen& s, const Target* target) {
  bool known = s.magic == kFsStreamMagic && s.version == kFsStreamVersion;
  std::printf("stream %-4zu at 0x%08" PRIX64 ": %s version %" PRIu32 ", header %" PRIu32 " bytes, type %" PRIu32
              ", data 0x%08" PRIX32 " bytes in %" PRIu32 " chunks\n",
              index, s.fileOffset, s.magic == kFsStreamMagic ? "HSXT" : "HSFF (older format)", s.version,
              s.headerBytes, s.type, s.dataLength, s.chunks);
  std::string base = s.memBase == kFsStreamUnknown ? "the module's own" : Format("0x%08" PRIX32, s.memBase);
  std::string length = s.memLen == 0 || s.memLen == kFsStreamUnknown ? "the module's own" : Format("0x%08" PRIX32, s.memLen);
  std::printf("            region base %s, length %s", base.c_str(), length.c_str());
  if (target != nullptr && s.memBase != kFsStreamUnknown) std::printf(" (%s)", RegionAt(*target, s.memBase).c_str());
  std::printf("\n            header checksum %s, chunk checksums %s%s\n", Ok(s.headerChecksumOk),
              s.badChunks == 0 ? "ok" : Format("%" PRIu32 " BAD", s.badChunks).c_str(),
              s.chunksFit ? "" : ", CHUNKS DO NOT FILL THE DATA AREA");
  return (known ? 0 : 1) + (s.headerChecksumOk ? 0 : 1) + (s.badChunks != 0 ? 1 : 0) + (s.chunksFit ? 0 : 1);
}

int ShowCpld(const CpldSectionSeen& c, const std::vector<uint8_t>& file) {
  std::string state = !c.complete ? "CUT SHORT" : Ok(c.checksumOk);
  std::printf("cpld        at 0x%08" PRIX64 ": mode %" PRIu32 "%s, header %" PRIu32 " bytes, data %" PRIu32
              " bytes, checksum %s\n",
              c.fileOffset, c.mode, c.mode > kCpldModeMax ? " (REFUSED)" : "", c.headerBytes, c.dataLength,
              state.c_str());
  int faults = (c.complete && c.checksumOk ? 0 : 1) + (c.mode > kCpldModeMax ? 1 : 0);
  if (!c.complete || !c.checksumOk) return faults;
  const uint8_t* data = file.data() + c.fileOffset + c.headerBytes;
  std::string fault = FwimageCpldStreamFault(data, c.dataLength, c.recordedLength);
  std::printf("            stream %s\n", fault.empty() ? "ok" : ("REFUSED: " + fault).c_str());
  return faults + (fault.empty() ? 0 : 1);
}

}  // namespace

std::string FwimageCpldStreamFault(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength) {
  RefusalClear();
  if (CpldStreamCheck(data, dataLength, recordedLength) == FWL_OK) return {};
  return Utf16ToUtf8(RefusalText());
}

int FwimageInfo(const std::vector<std::string>& args) {
  std::string path, moduleDir;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--module" && i + 1 < args.size()) moduleDir = args[++i];
    else if (path.empty() && args[i].rfind("--", 0) != 0) path = args[i];
    else return FwimageFail("info: name one image file and optionally --module DIR");
  }
  if (path.empty()) return FwimageFail("info: name one image file");
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BinImageReadFile(path, &bytes, &error)) return FwimageFail(error);
  Target target;
  if (!moduleDir.empty() && !LoadTarget(moduleDir, &target, &error)) return FwimageFail(error);
  const Target* on = moduleDir.empty() ? nullptr : &target;
  BinImageSeen seen = BinImageInspect(bytes);
  std::printf("file        %s (%zu bytes)\n", path.c_str(), bytes.size());
  int faults = 0;
  if (seen.hasBinPart) faults += ShowBinPart(seen, on);
  else std::printf("bin part    none\n");
  for (size_t i = 0; i < seen.streams.size(); i++) faults += ShowStream(i + 1, seen.streams[i], on);
  if (seen.hasCpld) faults += ShowCpld(seen.cpld, bytes);
  if (seen.trailingBytes != 0) std::printf("trailing    %" PRIu64 " bytes belong to no part\n", seen.trailingBytes);
  if (!seen.hasBinPart && seen.streams.empty() && !seen.hasCpld) std::printf("            nothing an update would write\n");
  if (faults == 0) std::printf("verdict     no faults\n");
  else std::printf("verdict     %d fault%s\n", faults, faults == 1 ? "" : "s");
  return faults == 0 ? kFwimageOk : kFwimageFaults;
}
