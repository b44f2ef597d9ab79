#include "module/factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "module/bin_image_builder.h"
#include "module/cpld_model.h"
#include "module/factory_images.h"
#include "module/file_room.h"
#include "module/factory_nand.h"
#include "module/factory_registry.h"
#include "module/module_image.h"
#include "module/nand_block_map.h"
#include "module/nand_model.h"
#include "module/running_image.h"
#include "module/storage_manager.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWordBytes = 4;

// The bootloaders as they leave the build: well inside their region. The
// older bootloader's banner lies past the part of flash its search skips.
constexpr uint32_t kBootloaderImageBytes = 0x24000;
constexpr uint32_t kBootloaderPhysFirst = 0x80100000;
constexpr uint32_t kBootloaderRecordOffset = 0x1000;
constexpr uint32_t kBannerImageOffset = 0xA000;
static_assert(kBannerImageOffset >= kBannerSearchStart && kBannerImageOffset < kBootloaderImageBytes);
constexpr uint32_t kSecondBootloaderImageBytes = 0x20000;
constexpr uint32_t kSecondBootloaderPhysFirst = 0x80140000;
constexpr uint32_t kOsPhysFirst = 0x80200000;
// The OS image says which version it is, as the bootloader does; a restart
// makes it the version board support answers.
constexpr uint32_t kOsRecordOffset = 0x1000;

// On part code 9 the boot ROM looks for this word in bytes 4-7 of the
// loader, and the update program puts it there whatever an image holds.
constexpr uint32_t kLoaderMarkPartCode = 9;
constexpr uint32_t kLoaderMark = 0x54494D48;
// A NAND board's loader and bootloader lie below the one logical page of
// the boot blocks that has no physical page.
static_assert(kRomLoaderSkip + kBootloaderImageBytes <= kNandPagelessLogicalPage * kNandPageBytes);

// Different seeds keep the images from looking alike in a hex dump.
enum FillerSeed : uint32_t { kSeedBootloader = 1, kSeedSecondBootloader, kSeedOs, kSeedConfig, kSeedSscr, kSeedLoader };

const char* const kBootloaderModules[] = {"boot.exe"};
const char* const kSecondBootloaderModules[] = {"boot2.exe"};
const char* const kOsModules[] = {"nk.exe",     "coredll.dll",  "filesys.exe", "device.exe",
                                  "gwes.exe",   "services.exe", "shell.exe",   "flashdisk.dll"};

// One thing the factory puts into the flash, or a region it keeps free for
// the module's software (bytes empty), with the setting that moves it.
struct Piece {
  std::string what;
  uint32_t offset = 0;
  uint64_t extent = 0;  // bytes it occupies, for the overlap check
  std::vector<uint8_t> bytes;
};

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

std::vector<std::string> Names(std::span<const char* const> names) { return {names.begin(), names.end()}; }

bool BootloaderPiece(const ModuleConfig& c, Piece* piece, std::string* error) {
  RomImageSpec spec;
  spec.bytes = kBootloaderImageBytes;
  spec.physFirst = kBootloaderPhysFirst;
  spec.builtFileTime = FileTimeFromDate(c.bootloaderBuilt);
  spec.modules = Names(kBootloaderModules);
  spec.seed = kSeedBootloader;
  spec.firstOfTwoStages = c.twoStage;
  piece->what = c.twoStage ? "first bootloader" : "bootloader";
  piece->offset = kBootloaderRegionBase;
  piece->extent = kBootloaderRegionBytes;
  if (!RomImageBuild(spec, &piece->bytes, error)) return false;
  if (c.bootloader == BootloaderKind::Banner) {
    if (!BannerPut(piece->bytes, kBannerImageOffset - kBootloaderRegionBase, c.bootloaderMajor, c.bootloaderMinor,
                   c.bootloaderBuilt, error)) {
      return false;
    }
  } else {
    StoredVersion version{kVersionFamilyModule, c.bootloaderMajor, c.bootloaderMinor, c.bootloaderBuild};
    if (!VersionRecordPut(piece->bytes, kBootloaderRecordOffset, version, error)) {
      *error = "factory.bootloader_*: " + *error;
      return false;
    }
  }
  // A NAND board boots a small loader first; the bootloader's image follows it.
  if (ModuleIsNand(c)) {
    std::vector<uint8_t> loader =
        BootLoaderBuild(kSeedLoader, c.cpuPartCode == kLoaderMarkPartCode ? kLoaderMark : 0, c.twoStage);
    piece->bytes.insert(piece->bytes.begin(), loader.begin(), loader.end());
  }
  return true;
}

bool SecondBootloaderPiece(const ModuleConfig& c, Piece* piece, std::string* error) {
  if (c.layoutSecondBootloaderBase == 0 || c.layoutSecondBootloaderBase % kWordBytes != 0) {
    *error = "a two-stage board needs bsp.second_bootloader_base, a non-zero multiple of 4";
    return false;
  }
  RomImageSpec spec;
  spec.bytes = kSecondBootloaderImageBytes;
  spec.physFirst = kSecondBootloaderPhysFirst;
  spec.builtFileTime = FileTimeFromDate(c.bootloaderBuilt);
  spec.modules = Names(kSecondBootloaderModules);
  spec.seed = kSeedSecondBootloader;
  piece->what = "second bootloader (bsp.second_bootloader_base)";
  piece->offset = c.layoutSecondBootloaderBase;
  piece->extent = spec.bytes;
  StoredVersion version{kVersionFamilyModule, c.secondBootloaderMajor, c.secondBootloaderMinor, 0};
  if (!RomImageBuild(spec, &piece->bytes, error) ||
      !VersionRecordPut(piece->bytes, kBootloaderRecordOffset, version, error)) {
    *error = "second bootloader: " + *error;
    return false;
  }
  return true;
}

bool OsImagePiece(const ModuleConfig& c, Piece* piece, std::string* error) {
  if (c.layoutOsImageBase % kWordBytes != 0) {
    *error = "bsp.os_image_base must be a multiple of 4";
    return false;
  }
  RomImageSpec spec;
  spec.bytes = c.osImageBytes;
  spec.physFirst = kOsPhysFirst;
  spec.builtFileTime = FileTimeFromDate(c.osBuilt);
  spec.modules = Names(kOsModules);
  spec.seed = kSeedOs;
  piece->what = "OS image (bsp.os_image_base, factory.os_image_bytes, factory.sscr_bytes)";
  piece->offset = c.layoutOsImageBase;
  if (!RomImageBuild(spec, &piece->bytes, error)) {
    *error = "factory.os_image_bytes: " + *error;
    return false;
  }
  // The running image is this one: board support's answer is its record.
  StoredVersion version{c.imageFamily, c.imageMajor, c.imageMinor, c.imageBuild};
  if (!VersionRecordPut(piece->bytes, kOsRecordOffset, version, error)) {
    *error = "bsp.image_*: " + *error;
    return false;
  }
  if (c.sscrBytes != 0) {
    // The signature follows the image at the next word, as discovery looks for it.
    piece->bytes.resize((piece->bytes.size() + kWordBytes - 1) / kWordBytes * kWordBytes, 0xFF);
    std::vector<uint8_t> record = SscrRecordBuild(c.sscrBytes, kSeedSscr);
    piece->bytes.insert(piece->bytes.end(), record.begin(), record.end());
  }
  piece->extent = piece->bytes.size();
  return true;
}

bool ConfigBlockPiece(const ModuleConfig& c, Piece* piece, std::string* error) {
  piece->what = "config block";
  piece->offset = kConfigBlockBase;
  piece->extent = kConfigBlockRegionBytes;
  if (!ConfigBlockBuild(c.configBlockBytes, kSeedConfig, &piece->bytes, error)) {
    *error = "factory.config_block_bytes: " + *error;
    return false;
  }
  return true;
}

// Everything must fit the flash and no two pieces may share a byte.
bool CheckPlacement(std::vector<Piece>* pieces, uint32_t flashBytes, std::string* error) {
  std::stable_sort(pieces->begin(), pieces->end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  for (size_t i = 0; i < pieces->size(); i++) {
    const Piece& p = (*pieces)[i];
    uint64_t end = p.offset + p.extent;
    if (end > flashBytes) {
      *error = "the " + p.what + " at " + Hex(p.offset) + " (" + Hex(p.extent) + " bytes) runs past the end of the " +
               Hex(flashBytes) + "-byte flash";
      return false;
    }
    if (i + 1 < pieces->size() && end > (*pieces)[i + 1].offset) {
      const Piece& q = (*pieces)[i + 1];
      *error = "the " + p.what + " at " + Hex(p.offset) + "-" + Hex(end) + " overlaps the " + q.what + " at " +
               Hex(q.offset);
      return false;
    }
  }
  return true;
}

bool Plan(const ModuleConfig& c, uint32_t flashBytes, std::vector<Piece>* pieces, std::string* error) {
  using Builder = bool (*)(const ModuleConfig&, Piece*, std::string*);
  const Builder builders[] = {
      c.bootloader != BootloaderKind::None ? BootloaderPiece : nullptr,
      ConfigBlockPiece,
      c.twoStage ? SecondBootloaderPiece : nullptr,
      OsImagePiece,
  };
  pieces->clear();
  for (Builder build : builders) {
    if (build == nullptr) continue;
    pieces->emplace_back();
    if (!build(c, &pieces->back(), error)) return false;
  }
  // What the factory leaves erased still has its place.
  if (c.bootloader == BootloaderKind::None) {
    pieces->push_back(Piece{"bootloader region", kBootloaderRegionBase, kBootloaderRegionBytes, {}});
  }
  uint64_t registryBytes = 2 * uint64_t{c.layoutRegistryHalf};
  pieces->push_back(Piece{"registry (bsp.registry_base, bsp.registry_half)", c.layoutRegistryBase, registryBytes, {}});
  uint64_t flashDiskBase = c.layoutRegistryBase + registryBytes;
  if (c.flashDiskKey != FlashDiskKey::None && flashDiskBase < flashBytes) {
    pieces->push_back(Piece{"flash disk", static_cast<uint32_t>(flashDiskBase), flashBytes - flashDiskBase, {}});
  }
  return CheckPlacement(pieces, flashBytes, error);
}

bool PlacePieces(const std::vector<Piece>& pieces, const ModuleFlash& flash, std::string* error) {
  for (const Piece& piece : pieces) {
    if (!FactoryPlace(flash, piece.offset, piece.bytes, error)) return false;
  }
  return true;
}

// Erased NOR reads 0xFF; the image is the flash byte for byte.
bool WriteErasedFlash(const std::string& path, uint32_t bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!FileRoomReserve(fd, bytes, path, error)) {
    ::close(fd);
    return false;
  }
  std::vector<uint8_t> erased(1 << 20, 0xFF);
  bool ok = true;
  for (uint32_t done = 0; ok && done < bytes;) {
    size_t chunk = std::min<size_t>(erased.size(), bytes - done);
    ssize_t n = ::write(fd, erased.data(), chunk);
    if (n <= 0) ok = false;
    else done += static_cast<uint32_t>(n);
  }
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

bool MakeStoreFolders(const std::string& root, std::string* error) {
  for (const char* folder : {"Windows", "USB HD/IMAGES", "Temp"}) {
    std::error_code ec;
    fs::create_directories(root + "/" + folder, ec);
    if (ec) {
      *error = "cannot create " + root + "/" + folder + ": " + ec.message();
      return false;
    }
  }
  return true;
}

// Sample image files for the user to update from: a newer OS image and a
// newer bootloader, cut into records as image tools write them.
constexpr uint32_t kSampleRecordBytes = 0x10000;
constexpr ModuleDateTime kSampleBuilt = {2010, 6, 1, 12, 0, 0};
constexpr uint32_t kSampleBootloaderLinked = kBinBootWindowFirst;  // lands at offset 0
constexpr char kSampleOsFile[] = "nk.bin";
constexpr char kSampleBootloaderFile[] = "eboot.bin";
enum SampleSeed : uint32_t { kSeedSampleOs = 11, kSeedSampleBootloader };

bool StoreSample(const Module& module, const char* name, uint32_t linkedAt, const std::vector<uint8_t>& image,
                 std::string* error) {
  BinImageSpec spec;
  spec.bin.imageStart = linkedAt;
  spec.bin.records = BinRecordsFromBlob(linkedAt, image, kSampleRecordBytes);
  std::vector<uint8_t> file;
  return BinImageBuild(spec, &file, error) && BinImageStore(module.dir, name, file, error);
}

bool StoreSampleImages(const Module& module, std::string* error) {
  const ModuleConfig& c = module.config;
  RomImageSpec os;
  os.bytes = c.osImageBytes;
  os.physFirst = kOsPhysFirst;
  os.builtFileTime = FileTimeFromDate(kSampleBuilt);
  os.modules = Names(kOsModules);
  os.seed = kSeedSampleOs;
  std::vector<uint8_t> image;
  // A newer release than the factory's: a restart after the update shows it.
  StoredVersion osVersion{c.imageFamily, c.imageMajor, c.imageMinor + 1, 0};
  if (!RomImageBuild(os, &image, error) || !VersionRecordPut(image, kOsRecordOffset, osVersion, error) ||
      !StoreSample(module, kSampleOsFile, kOsPhysFirst, image, error)) {
    *error = "sample OS image: " + *error;
    return false;
  }
  RomImageSpec boot;
  boot.bytes = kBootloaderImageBytes;
  boot.physFirst = kBootloaderPhysFirst;
  boot.builtFileTime = FileTimeFromDate(kSampleBuilt);
  boot.modules = Names(kBootloaderModules);
  boot.seed = kSeedSampleBootloader;
  StoredVersion version{kVersionFamilyModule, c.bootloaderMajor, c.bootloaderMinor + 1, 0};
  if (!RomImageBuild(boot, &image, error) || !VersionRecordPut(image, kBootloaderRecordOffset, version, error) ||
      !StoreSample(module, kSampleBootloaderFile, kSampleBootloaderLinked, image, error)) {
    *error = "sample bootloader image: " + *error;
    return false;
  }
  return true;
}

// An erased chip as it leaves its maker; on NAND with the bad blocks marked
// and remapped.
bool MakeBlankFlash(const Module& module, uint32_t flashBytes, std::string* error) {
  if (ModuleIsNand(module.config)) return FactoryNandCells(module, error);
  return WriteErasedFlash(ModuleFlashPath(module.dir), flashBytes, error);
}

// The NAND boards' CPLD leaves the factory programmed with its firmware.
bool MakeCpld(const Module& module, std::string* error) {
  if (!ModuleIsNand(module.config)) return true;
  return CpldFactoryInstall(ModuleCpldPath(module.dir), module.config, error);
}

bool Install(const Module& module, std::string* error) {
  const ModuleConfig& c = module.config;
  uint32_t flashBytes = ModuleFlashBytes(c);
  if (flashBytes == 0) {
    *error = ModuleIsNand(c) ? "no NAND chip has the identification in module.ini"
                             : "no NOR chip has the device code in module.ini";
    return false;
  }
  // Settings that make no module are refused before anything is written.
  std::vector<Piece> pieces;
  RegistryData registry;
  std::vector<uint32_t> nandBad;
  if (!Plan(c, flashBytes, &pieces, error) || !FactoryRegistryBuild(c, &registry, error) ||
      (ModuleIsNand(c) && !FactoryNandBadBlocks(c, &nandBad, error))) {
    return false;
  }
  std::string root = ModuleRootPath(module.dir);
  if (!MakeBlankFlash(module, flashBytes, error) || !MakeCpld(module, error) || !MakeStoreFolders(root, error) ||
      !RunningImageWriteNls(module.dir, c.osBuilt, error) || !StoreSampleImages(module, error)) {
    return false;
  }
  // The factory programs the flash as the module's OS sees it, with no fault
  // of the module's in the way.
  ModuleImage image;
  if (!ModuleImageOpen(module, &image, error)) return false;
  // The store follows the driver key of the registry just installed.
  bool ok = PlacePieces(pieces, image.flash, error) && FactoryRegistryInstall(module, image.flash, error) &&
            (c.flashDiskKey == FlashDiskKey::None || StoreFactoryInstall(module, image.flash, error));
  ModuleImageClose(&image);
  // The module leaves the factory switched off: its first start sets the
  // controller up and builds the block map.
  if (ModuleIsNand(c)) NandModelPowerOff(ModuleShmPath(module.dir));
  return ok;
}

}  // namespace

bool FactoryLayFlash(const ModuleConfig& config, const ModuleFlash& flash, std::string* error) {
  std::vector<Piece> pieces;
  return Plan(config, flash.ops->size(flash.ctx), &pieces, error) && PlacePieces(pieces, flash, error);
}

bool FactoryInstall(const Module& module, std::string* error) {
  if (Install(module, error)) return true;
  ::unlink(ModuleIniPath(module.dir).c_str());
  return false;
}
