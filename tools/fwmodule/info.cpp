// fwmodule info: the board, and what the module holds in its own terms: the
// images in flash with their versions and build dates, the config block, the
// registry halves, and the flash disk with its store.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <span>

#include "module/factory_images.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "module/registry_persist.h"
#include "module/registry_store.h"
#include "module/storage_manager.h"
#include "tools/fwmodule/commands.h"
#include "tools/fwmodule/cpld_info.h"
#include "tools/fwmodule/nand_info.h"
#include "module/nand_block_map.h"
#include "module/nand_chips.h"
#include "platform/json.h"
#include "tools/common/format.h"

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kRegistryHalves = 2;
constexpr char16_t kFirstNonAscii = 0x80;

struct Region {
  uint32_t offset = 0;
  std::string name;
  std::vector<std::string> lines;
  bool hasVersion = false;  // the version record the region's image carries
  StoredVersion version = {};
};


// For the terminal: ASCII stays, anything else shows as '?'.
std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < kFirstNonAscii ? static_cast<char>(c) : '?');
  return out;
}

uint32_t Le32(std::span<const uint8_t> flash, uint64_t offset) {
  if (offset > flash.size() || flash.size() - offset < kWordBytes) return 0;
  const uint8_t* p = flash.data() + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string VersionText(const StoredVersion& v) {
  std::string text = Format("version %" PRIu32 ".%" PRIu32, v.major, v.minor);
  if (v.build != 0) text += Format(" beta build %" PRIu32, v.build);
  if (v.family != kVersionFamilyModule) text += Format(" (unknown family %" PRIu32 ")", v.family);
  return text;
}

// Size, module count and build date of the image at `at`; "no image" when
// region discovery would find none there.
std::string ImageText(std::span<const uint8_t> flash, uint32_t at, uint32_t* size) {
  *size = StoredImageSize(flash, at);
  if (*size == 0) return "no image";
  RomImageFound rom;
  if (!RomImageFind(flash, at, &rom)) return Format("compressed image of 0x%08" PRIX32 " bytes", *size);
  std::string text = Format("ROM image of 0x%08" PRIX32 " bytes", *size);
  if (rom.start != at) text += Format(" (starting 0x%" PRIX32 " in)", rom.start - at);
  text += Format(", %" PRIu32 " module%s", rom.modules, rom.modules == 1 ? "" : "s");
  ModuleDateTime built;
  if (rom.hasModuleTime && DateFromFileTime(rom.moduleFileTime, &built)) {
    text += ", built " + ModuleDateTimeText(built) + " UTC";
  }
  return text;
}

Region Bootloader(std::span<const uint8_t> flash) {
  bool firstStage = Le32(flash, kTwoStageWordOffset) == kTwoStageMark;
  Region r{kBootloaderRegionBase, firstStage ? "first bootloader" : "bootloader", {}};
  uint32_t size;
  r.lines.push_back(ImageText(flash, kBootloaderRegionBase, &size));
  StoredVersion version;
  BannerFound banner;
  uint32_t at;
  if (VersionRecordFind(flash, kBootloaderRegionBase, kBootloaderRegionBytes, &version, &at)) {
    r.hasVersion = true;
    r.version = version;
    r.lines.push_back(VersionText(version) + Format(" (record at 0x%08" PRIX32 ")", at));
  } else if (BannerFind(flash, kBannerSearchStart, kBannerSearchBytes, &banner)) {
    r.lines.push_back(Format("Ethernet bootloader banner at 0x%08" PRIX32 ": version %" PRIu32 ".%" PRIu32
                             ", built %04" PRIu32 "-%02" PRIu32 "-%02" PRIu32,
                             banner.at, banner.major, banner.minor, banner.built.year, banner.built.month,
                             banner.built.day));
  } else {
    r.lines.push_back("no version record or banner");
  }
  return r;
}

Region SecondBootloader(std::span<const uint8_t> flash, uint32_t base) {
  Region r{base, "second bootloader", {}};
  uint32_t size;
  r.lines.push_back(ImageText(flash, base, &size));
  StoredVersion version;
  uint32_t at;
  if (size != 0 && VersionRecordFind(flash, base, size, &version, &at)) {
    r.hasVersion = true;
    r.version = version;
    r.lines.push_back(VersionText(version) + Format(" (record at 0x%08" PRIX32 ")", at));
  }
  return r;
}

Region ConfigBlock(std::span<const uint8_t> flash) {
  uint32_t used;
  bool found = ConfigBlockFind(flash, kConfigBlockBase, kConfigBlockRegionBytes, &used);
  return {kConfigBlockBase, "config block",
          {found ? Format("0x%08" PRIX32 " bytes of configuration", used) : "no config block marker"}};
}

Region OsImage(std::span<const uint8_t> flash, const ModuleConfig& c) {
  Region r{c.layoutOsImageBase, "OS image", {}};
  uint32_t size;
  r.lines.push_back(ImageText(flash, c.layoutOsImageBase, &size));
  uint32_t record;
  uint64_t after = uint64_t{c.layoutOsImageBase} + (uint64_t{size} + kWordBytes - 1) / kWordBytes * kWordBytes;
  if (size != 0 && after <= UINT32_MAX && SscrRecordFind(flash, static_cast<uint32_t>(after), &record)) {
    r.lines.push_back(Format("signature record of 0x%" PRIX32 " bytes at 0x%08" PRIX64, record, after));
  }
  StoredVersion version;
  uint32_t at;
  if (size != 0 && VersionRecordFind(flash, c.layoutOsImageBase, size, &version, &at)) {
    r.hasVersion = true;
    r.version = version;
    r.lines.push_back(VersionText(version) + Format(" (record at 0x%08" PRIX32 "; the next restart runs it)", at));
  }
  r.lines.push_back(Format("running version %" PRIu32 ".%" PRIu32 " build %" PRIu32 " (board support)", c.imageMajor,
                           c.imageMinor, c.imageBuild));
  return r;
}

// Each half's header as a restart judges it.
Region Registry(const Module& module, const ModuleFlash& flash) {
  const ModuleConfig& c = module.config;
  Region r{c.layoutRegistryBase, "registry", {}};
  RegistryHalfState halves[kRegistryHalves];
  int current = -1;
  std::string error;
  if (!RegistryPersistHalves(module, flash, halves, &current, &error)) {
    r.lines.push_back("unreadable: " + error);
    return r;
  }
  for (uint32_t i = 0; i < kRegistryHalves; i++) {
    std::string line = Format("half %" PRIu32 " at 0x%08" PRIX64 ": ", i + 1,
                              c.layoutRegistryBase + uint64_t{i} * c.layoutRegistryHalf);
    if (!halves[i].valid) line += "invalid";
    else line += Format("%s%" PRIu32 " bytes saved, generation %" PRIu32, current == static_cast<int>(i) ? "current, " : "",
                        halves[i].length, halves[i].generation);
    r.lines.push_back(line);
  }
  return r;
}

// The flash disk as the module's storage manager finds it: the driver and
// its window of the flash, the store, and how much of it holds data.
bool FileSystem(const Module& module, const ModuleFlash& flash, Region* r) {
  std::vector<StoreDevice> devices;
  std::string error;
  if (!StoreListDevices(module, &devices, &error) || devices.empty()) return false;
  const StoreDevice& d = devices.front();
  r->offset = d.geometry.base;
  r->name = "file system";
  r->lines.push_back(Format("0x%08" PRIX32 " bytes, ", d.geometry.length) + Narrow(d.driverKey) + " as " +
                     Narrow(d.deviceName));
  r->lines.push_back("profile " + Narrow(d.profile) + " named \"" + Narrow(d.storeName) + "\"");
  StoreSession session;
  if (!StoreSessionBegin(module, flash, d, &session, &error)) {
    r->lines.push_back("no store (" + error + ")");
    return true;
  }
  uint32_t sectors = FlashDiskSectorCount(session.disk);
  r->lines.push_back(Format("store of %" PRIu32 " sectors of %" PRIu32 " bytes, %" PRIu32 " hold data%s", sectors,
                            session.disk.geometry.sectorBytes, FlashDiskMappedCount(session.disk, 0, sectors),
                            session.table.present ? "" : ", no partition table"));
  for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
    const StorePartition& p = session.table.slots[slot];
    if (!p.used) continue;
    r->lines.push_back(Narrow(StorePartitionName(slot)) +
                       Format(": sectors %" PRIu32 "-%" PRIu64 ", %" PRIu32 " hold data", p.start,
                              uint64_t{p.start} + p.count - 1, StorePartitionMappedSectors(session, slot)));
  }
  StoreSessionEnd(&session);
  return true;
}

// The bytes the images lie in: all of a NOR image; on NAND what lies below
// the registry (where every layout puts the images), read through the
// logical flash, unless an image was placed above it.
bool ImageArea(const ModuleConfig& c, const ModuleImage& image, std::vector<uint8_t>* copy,
               std::span<const uint8_t>* area, std::string* error) {
  if (!ModuleIsNand(c)) {
    *area = std::span<const uint8_t>(image.nor.raw.bytes, image.nor.raw.size);
    return true;
  }
  uint32_t size = image.flash.ops->size(image.flash.ctx);
  bool imagesBelow = c.layoutOsImageBase < c.layoutRegistryBase && c.layoutSecondBootloaderBase < c.layoutRegistryBase;
  copy->resize(imagesBelow ? std::min(size, c.layoutRegistryBase) : size);
  if (!ModuleFlashRead(image.flash, 0, copy->data(), static_cast<uint32_t>(copy->size()))) {
    *error = "the logical flash cannot be read";
    return false;
  }
  *area = *copy;
  return true;
}

// The regions in flash order; false with `error` when the flash cannot be read.
bool CollectRegions(const Module& module, const ModuleImage& image, std::vector<Region>* regions,
                    bool* haveFileSystem, std::string* error) {
  const ModuleConfig& c = module.config;
  std::vector<uint8_t> copy;
  std::span<const uint8_t> flash;
  if (!ImageArea(c, image, &copy, &flash, error)) return false;
  *regions = {Bootloader(flash), ConfigBlock(flash), OsImage(flash, c), Registry(module, image.flash)};
  if (c.layoutSecondBootloaderBase != 0) regions->push_back(SecondBootloader(flash, c.layoutSecondBootloaderBase));
  Region fileSystem;
  *haveFileSystem = FileSystem(module, image.flash, &fileSystem);
  if (*haveFileSystem) regions->push_back(fileSystem);
  std::stable_sort(regions->begin(), regions->end(),
                   [](const Region& a, const Region& b) { return a.offset < b.offset; });
  return true;
}

void PrintRegions(const Module& module, const ModuleImage& image) {
  std::vector<Region> regions;
  bool haveFileSystem = false;
  std::string error;
  if (!CollectRegions(module, image, &regions, &haveFileSystem, &error)) {
    std::printf("regions     unreadable (%s)\n", error.c_str());
    return;
  }
  std::printf("regions     as the module's software finds them:\n");
  for (const Region& r : regions) {
    for (size_t i = 0; i < r.lines.size(); i++) {
      if (i == 0) std::printf("  0x%08" PRIX32 "  %-18s %s\n", r.offset, r.name.c_str(), r.lines[i].c_str());
      else std::printf("  %-10s  %-18s %s\n", "", "", r.lines[i].c_str());
    }
  }
  if (!haveFileSystem) std::printf("  no flash disk driver: the module has no file system region\n");
}

// The registry a restart would load, read the way the module's OS reads it.
void PrintRegistry(const Module& module, const ModuleImage& image) {
  RegistryData live;
  std::string error;
  if (RegistryLoadLive(module.dir, &live, &error)) {
    size_t values = 0;
    for (const RegKey& key : live.keys) values += key.values.size();
    std::printf("registry    live: %zu keys, %zu values\n", live.keys.size(), values);
  } else {
    std::printf("registry    live: unreadable (%s)\n", error.c_str());
  }
  std::string text;
  bool found = false;
  if (RegistryPersistRead(module, image.flash, &text, &found, &error)) {
    if (found) std::printf("            persistent: %zu bytes of registry text in flash\n", text.size());
    else std::printf("            persistent: none (a restart loads the factory registry)\n");
  } else {
    std::printf("            persistent: unreadable (%s)\n", error.c_str());
  }
}

void PrintNorFlash(const ModuleConfig& c) {
  uint32_t flashBytes = ModuleFlashBytes(c);
  std::printf("flash       NOR pair, device code 0x%04" PRIX32 ", %" PRIu32 " MB (0x%08" PRIX32 " bytes), %s timing\n",
              c.norDeviceCode, flashBytes >> 20, flashBytes, c.timing == ModuleTiming::Fast ? "fast" : "realistic");
}

void JsonVersion(JsonWriter* w, const char* key, uint32_t major, uint32_t minor, uint32_t build) {
  JsonBeginObject(w, key);
  JsonNumber(w, "major", major);
  JsonNumber(w, "minor", minor);
  JsonNumber(w, "build", build);
  JsonEndObject(w);
}

void JsonFlash(JsonWriter* w, const ModuleConfig& c) {
  JsonBeginObject(w, "flash");
  bool nand = ModuleIsNand(c);
  JsonString(w, "kind", nand ? "nand" : "nor");
  JsonNumber(w, "chip_id", nand ? c.nandChipId : c.norDeviceCode);
  const NandChipType* chip = nand ? NandChipTypeOf(c.nandChipId) : nullptr;
  JsonBool(w, "known", !nand || chip != nullptr);
  if (nand && chip == nullptr) JsonNull(w, "bytes");
  else JsonNumber(w, "bytes", nand ? NandUsableBytes(chip) : ModuleFlashBytes(c));
  JsonString(w, "timing", c.timing == ModuleTiming::Fast ? "fast" : "realistic");
  JsonEndObject(w);
}

// The same as the text, one object: what a script asks of a module.
int PrintJson(const Module& module) {
  const ModuleConfig& c = module.config;
  JsonWriter w;
  JsonBeginObject(&w);
  JsonString(&w, "module", module.dir);
  JsonBeginObject(&w, "board");
  JsonString(&w, "name", c.board);
  JsonNumber(&w, "cpu_part_code", c.cpuPartCode);
  JsonBool(&w, "two_stage", c.twoStage);
  JsonEndObject(&w);
  JsonBeginObject(&w, "versions");
  JsonVersion(&w, "os", c.osMajor, c.osMinor, c.osBuild);
  JsonVersion(&w, "running_image", c.imageMajor, c.imageMinor, c.imageBuild);
  JsonBeginObject(&w, "hardware");
  JsonNumber(&w, "major", c.hwVersionMajor);
  JsonNumber(&w, "minor", c.hwVersionMinor);
  JsonEndObject(&w);
  JsonEndObject(&w);
  JsonBeginObject(&w, "chips");
  JsonFlash(&w, c);
  JsonCpld(&w, module);
  JsonEndObject(&w);
  ModuleImage image;
  std::vector<Region> regions;
  bool haveFileSystem = false;
  std::string error;
  bool read = ModuleImageOpen(module, &image, &error);
  if (read) {
    read = CollectRegions(module, image, &regions, &haveFileSystem, &error);
    ModuleImageClose(&image);
  }
  if (read) JsonNull(&w, "regions_error");
  else JsonString(&w, "regions_error", error);
  JsonBeginArray(&w, "regions");
  for (const Region& r : regions) {
    JsonBeginObject(&w);
    JsonString(&w, "name", r.name);
    JsonNumber(&w, "offset", r.offset);
    if (r.hasVersion) JsonVersion(&w, "version", r.version.major, r.version.minor, r.version.build);
    else JsonNull(&w, "version");
    JsonBeginArray(&w, "details");
    for (const std::string& line : r.lines) JsonString(&w, nullptr, line);
    JsonEndArray(&w);
    JsonEndObject(&w);
  }
  JsonEndArray(&w);
  JsonEndObject(&w);
  std::printf("%s\n", w.text.c_str());
  return 0;
}

}  // namespace

int FwmoduleInfo(const std::vector<std::string>& args) {
  bool json = args.size() == 2 && args[1] == "--json";
  if (args.size() != 1 && !json) return FwmoduleFail("info: name one module directory (and --json for JSON)");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return FwmoduleFail(error);
  if (json) return PrintJson(module);
  const ModuleConfig& c = module.config;
  std::printf("module      %s\n", module.dir.c_str());
  std::printf("board       %s (processor part code %" PRIu32 "), %s boot\n", c.board.c_str(), c.cpuPartCode,
              c.twoStage ? "two-stage" : "one-stage");
  std::printf("os          %" PRIu32 ".%" PRIu32 " build %" PRIu32 "\n", c.osMajor, c.osMinor, c.osBuild);
  std::printf("hardware    %" PRIu32 ".%" PRIu32 "\n", c.hwVersionMajor, c.hwVersionMinor);
  if (ModuleIsNand(c)) PrintNandChip(c);
  else PrintNorFlash(c);
  PrintCpld(module);
  std::printf("layout      OS image 0x%08" PRIX32 ", registry 0x%08" PRIX32 " (2 x 0x%" PRIX32 ")", c.layoutOsImageBase,
              c.layoutRegistryBase, c.layoutRegistryHalf);
  if (c.layoutSecondBootloaderBase != 0) std::printf(", second bootloader 0x%08" PRIX32, c.layoutSecondBootloaderBase);
  std::printf("\n");
  // Straight from flash.img: looking must not power the chips up.
  ModuleImage image;
  if (!ModuleImageOpen(module, &image, &error)) {
    std::printf("regions     unreadable (%s)\n", error.c_str());
    return 0;
  }
  if (ModuleIsNand(c)) PrintNandTables(module, image);
  PrintRegions(module, image);
  PrintRegistry(module, image);
  ModuleImageClose(&image);
  return 0;
}
