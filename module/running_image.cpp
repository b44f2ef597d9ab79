#include "module/running_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr uint32_t kWordBytes = 4;
// Enough of an image's start to find its signature and header offset, also
// when it begins kRomLoaderSkip in (a NAND board's loader in front).
constexpr uint32_t kRomProbeBytes = kRomLoaderSkip + kRomSignatureOffset + kRomPointerBytes;

// The entry of `folder` named `name` without regard to case, as the module's
// object store finds it, else `name` itself.
std::string EntryIn(const std::string& folder, const std::string& name) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::string found = entry.path().filename().string();
    if (found.size() == name.size() &&
        std::equal(found.begin(), found.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return folder + "/" + found;
    }
  }
  return folder + "/" + name;
}

uint32_t FlashBytes(const ModuleFlash& flash) { return flash.ops->size(flash.ctx); }

// [offset, offset + length) of the flash, cut at its end.
bool ReadRange(const ModuleFlash& flash, uint32_t offset, uint64_t length, std::vector<uint8_t>* bytes,
               std::string* error) {
  uint32_t size = FlashBytes(flash);
  uint64_t end = std::min<uint64_t>(size, uint64_t{offset} + length);
  bytes->assign(end > offset ? static_cast<size_t>(end - offset) : 0, 0xFF);
  if (bytes->empty() || ModuleFlashRead(flash, offset, bytes->data(), static_cast<uint32_t>(bytes->size()))) return true;
  *error = "cannot read the flash at " + std::to_string(offset);
  return false;
}

uint32_t WordIn(const std::vector<uint8_t>& bytes, uint64_t at) {
  if (at + kWordBytes > bytes.size()) return 0;
  uint32_t word = 0;
  for (uint32_t i = 0; i < kWordBytes; i++) word |= uint32_t{bytes[at + i]} << (8 * i);
  return word;
}

// The ROM image at `base` (or kRomLoaderSkip in) read up to its first module
// entry, at most `limit` bytes: only as much as its header says is read.
bool ReadRomImage(const ModuleFlash& flash, uint32_t base, uint32_t limit, std::vector<uint8_t>* bytes,
                  RomImageFound* rom, std::string* error) {
  if (!ReadRange(flash, base, std::min(kRomProbeBytes, limit), bytes, error)) return false;
  uint64_t need = 0;
  for (uint32_t start : {uint32_t{0}, kRomLoaderSkip}) {
    if (WordIn(*bytes, uint64_t{start} + kRomSignatureOffset) != kRomSignature) continue;
    uint32_t headerOffset = WordIn(*bytes, uint64_t{start} + kRomSignatureOffset + 2 * kWordBytes);
    need = std::max(need, uint64_t{start} + headerOffset + kRomHeaderBytes + kRomModuleEntryBytes);
  }
  if (need == 0) return true;
  if (!ReadRange(flash, base, std::min<uint64_t>(need, limit), bytes, error)) return false;
  *rom = RomImageFound{};
  if (!RomImageFind(*bytes, 0, rom)) rom->bytes = 0;
  return true;
}

void TakeBuilt(const RomImageFound& rom, RunningImage* image) {
  image->hasBuilt = rom.hasModuleTime && DateFromFileTime(rom.moduleFileTime, &image->built);
}

// The OS image region: from its base up to the registry, which follows it.
uint32_t OsRegionBytes(const ModuleConfig& c, uint32_t flashBytes) {
  uint32_t end = c.layoutRegistryBase > c.layoutOsImageBase ? c.layoutRegistryBase : flashBytes;
  return end > c.layoutOsImageBase ? end - c.layoutOsImageBase : 0;
}

bool FindOsImage(const ModuleConfig& c, const ModuleFlash& flash, RunningImage* image, std::string* error) {
  std::vector<uint8_t> bytes;
  RomImageFound rom;
  rom.bytes = 0;
  uint32_t limit = OsRegionBytes(c, FlashBytes(flash));
  if (limit == 0 || !ReadRomImage(flash, c.layoutOsImageBase, limit, &bytes, &rom, error)) return limit == 0;
  if (rom.bytes == 0) return true;
  image->source = RunningImageSource::OsImage;
  image->at = c.layoutOsImageBase + rom.start;
  uint32_t at = 0;
  image->hasVersion = VersionRecordFind(bytes, rom.start, rom.bytes, &image->version, &at);
  TakeBuilt(rom, image);
  return true;
}

bool FindBootloader(const ModuleFlash& flash, RunningImage* image, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadRange(flash, kBootloaderRegionBase, kBootloaderRegionBytes, &bytes, error)) return false;
  RomImageFound rom;
  if (!RomImageFind(bytes, 0, &rom)) return true;
  image->source = RunningImageSource::Bootloader;
  image->at = rom.start;
  uint32_t at = 0;
  BannerFound banner;
  if (VersionRecordFind(bytes, 0, kBootloaderRegionBytes, &image->version, &at)) {
    image->hasVersion = true;
    TakeBuilt(rom, image);
  } else if (BannerFind(bytes, kBannerSearchStart, kBannerSearchBytes, &banner)) {
    image->hasVersion = true;
    image->version = StoredVersion{kVersionFamilyModule, banner.major, banner.minor, 0};
    image->hasBuilt = banner.built.month != 0;
    image->built = banner.built;
  } else {
    TakeBuilt(rom, image);
  }
  return true;
}

}  // namespace

bool RunningImageFind(const ModuleConfig& config, const ModuleFlash& flash, RunningImage* image, std::string* error) {
  *image = RunningImage{};
  if (!FindOsImage(config, flash, image, error)) return false;
  if (image->source == RunningImageSource::OsImage) return true;
  return FindBootloader(flash, image, error);
}

bool RunningImageApply(Module* module, const RunningImage& image, std::string* error) {
  if (image.source == RunningImageSource::Nothing) return true;
  ModuleConfig& c = module->config;
  if (image.hasVersion && (c.imageFamily != image.version.family || c.imageMajor != image.version.major ||
                           c.imageMinor != image.version.minor || c.imageBuild != image.version.build)) {
    c.imageFamily = image.version.family;
    c.imageMajor = image.version.major;
    c.imageMinor = image.version.minor;
    c.imageBuild = image.version.build;
    if (!ModuleConfigSave(ModuleIniPath(module->dir), c, error)) return false;
  }
  return !image.hasBuilt || RunningImageWriteNls(module->dir, image.built, error);
}

std::string RunningImageText(const RunningImage& image) {
  if (image.source == RunningImageSource::Nothing) return "no OS image and no bootloader in flash";
  std::string text = image.source == RunningImageSource::OsImage ? "OS image" : "no OS image in flash: the bootloader";
  if (image.hasVersion) {
    text += " " + std::to_string(image.version.major) + "." + std::to_string(image.version.minor);
    if (image.version.build != 0) text += " build " + std::to_string(image.version.build);
  }
  if (image.hasBuilt) text += " built " + ModuleDateTimeText(image.built);
  return text + " runs";
}

bool RunningImageWriteNls(const std::string& moduleDir, const ModuleDateTime& built, std::string* error) {
  std::string folder = EntryIn(ModuleRootPath(moduleDir), "Windows");
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string path = EntryIn(folder, "wince.nls");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  static const char kContent[] = "NLS tables of the OS image\n";
  bool ok = ::write(fd, kContent, sizeof kContent - 1) == static_cast<ssize_t>(sizeof kContent - 1);
  ::close(fd);
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ModuleDateTimeToUnix(built));
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (!ok || ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
