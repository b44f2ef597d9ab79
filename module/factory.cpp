#include "module/factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "module/factory_registry.h"
#include "module/flash_image.h"
#include "module/nor_chips.h"

namespace fs = std::filesystem;

namespace {

// Erase block of the NOR pair above the boot area.
constexpr uint32_t kFactoryEraseBlock = 0x40000;

// Erased NOR reads 0xFF; the image is the flash byte for byte.
bool WriteErasedFlash(const std::string& path, uint32_t bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
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

// The OS image's national language file, dated as the image was built.
bool WriteNlsFile(const std::string& root, std::string* error) {
  std::string path = root + "/Windows/wince.nls";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  static const char kContent[] = "NLS tables of the OS image\n";
  bool ok = ::write(fd, kContent, sizeof kContent - 1) == static_cast<ssize_t>(sizeof kContent - 1);
  ::close(fd);
  struct tm built = {};
  built.tm_year = 2009 - 1900;
  built.tm_mon = 2;
  built.tm_mday = 5;
  built.tm_hour = 14;
  built.tm_min = 3;
  built.tm_sec = 7;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = timegm(&built);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (!ok || ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool FactoryInstall(const Module& module, std::string* error) {
  uint32_t flashBytes = NorPairBytes(module.config.norDeviceCode);
  if (flashBytes == 0) {
    *error = "no NOR chip has the device code in module.ini";
    return false;
  }
  std::string root = ModuleRootPath(module.dir);
  if (!WriteErasedFlash(ModuleFlashPath(module.dir), flashBytes, error) || !MakeStoreFolders(root, error) ||
      !WriteNlsFile(root, error)) {
    return false;
  }
  // The factory programs the flash directly, before any chip is powered up.
  FlashImage image;
  if (!FlashImageOpen(ModuleFlashPath(module.dir), kFactoryEraseBlock, &image, error)) return false;
  bool ok = FactoryRegistryInstall(module, RawFlashAccess(&image.raw), error);
  FlashImageClose(&image);
  return ok;
}
