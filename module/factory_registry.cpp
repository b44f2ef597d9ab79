#include "module/factory_registry.h"

#include <sys/stat.h>

#include <cerrno>

#include "module/atomic_file.h"
#include "module/module_image.h"
#include "module/registry_persist.h"
#include "module/registry_text.h"

namespace {

constexpr char16_t kBuiltInDriverKey[] = u"Drivers\\BuiltIn\\StrataFMD";
constexpr char16_t kBlockDeviceDriverKey[] = u"Drivers\\BlockDevice\\StrataFMD";
constexpr char16_t kStorageManagerKey[] = u"System\\StorageManager";
constexpr char16_t kProfileKey[] = u"System\\StorageManager\\Profiles\\FlashDisk";
constexpr char16_t kProfileFatKey[] = u"System\\StorageManager\\Profiles\\FlashDisk\\FATFS";
constexpr char16_t kIdentKey[] = u"Ident";

constexpr uint32_t kDriverOrder = 2;
// Whole erase blocks on either board: one of the NOR pair, two of a NAND chip.
constexpr uint32_t kFlashDiskBlockBytes = 0x40000;
constexpr uint32_t kFlashDiskSectorBytes = 512;
constexpr uint32_t kUnloadDelayMs = 5000;
constexpr uint32_t kAutoMount = 1;
constexpr uint32_t kFormatTfat = 0;
constexpr char kFactoryRegistryFile[] = "/factory.reg";
constexpr char kFirstPrintable = 0x20;
constexpr char kLastPrintable = 0x7E;

void SetText(RegKey* key, std::u16string_view name, std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  RegistrySetValue(key, name, REG_SZ, bytes.data(), bytes.size());
}

void SetDword(RegKey* key, std::u16string_view name, uint32_t value) {
  uint8_t bytes[sizeof value];
  for (size_t i = 0; i < sizeof value; i++) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  RegistrySetValue(key, name, REG_DWORD, bytes, sizeof bytes);
}

RegKey* Key(RegistryData* data, std::u16string_view path) {
  bool created;
  return RegistryCreateKey(data, path, &created);
}

void SetFlashDiskDriver(RegKey* driver, uint32_t fileSystemBase, uint32_t flashBytes) {
  SetText(driver, u"Dll", u"flashdisk.dll");
  SetText(driver, u"Prefix", u"DSK");
  SetDword(driver, u"Order", kDriverOrder);
  SetText(driver, u"Profile", u"FlashDisk");
  SetText(driver, u"IClass", u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}");
  SetDword(driver, u"MemBase", fileSystemBase);
  SetDword(driver, u"MemLen", flashBytes - fileSystemBase);
  SetDword(driver, u"BlockSize", kFlashDiskBlockBytes);
  SetDword(driver, u"SectorSize", kFlashDiskSectorBytes);
}

// module.ini is UTF-8; a profile name is kept to printable ASCII so that it
// reaches the registry unchanged.
bool AsciiText(const std::string& text, std::u16string* out) {
  out->clear();
  for (char c : text) {
    if (c < kFirstPrintable || c > kLastPrintable) return false;
    out->push_back(static_cast<char16_t>(c));
  }
  return true;
}

}  // namespace

std::string FactoryRegistryPath(const std::string& moduleDir) { return moduleDir + kFactoryRegistryFile; }

bool FactoryRegistryBuild(const ModuleConfig& config, RegistryData* data, std::string* error) {
  uint32_t flashBytes = ModuleFlashBytes(config);
  // The flash disk takes everything after the registry's two halves.
  uint64_t fileSystemBase = uint64_t{config.layoutRegistryBase} + 2 * uint64_t{config.layoutRegistryHalf};
  if (flashBytes == 0 || fileSystemBase >= flashBytes) {
    *error = "the board's flash leaves no room for the flash disk";
    return false;
  }
  std::u16string profileName;
  if (!AsciiText(config.profileName, &profileName)) {
    *error = "factory.profile_name must be printable ASCII text";
    return false;
  }
  *data = RegistryData{};
  if (config.flashDiskKey != FlashDiskKey::None) {
    const char16_t* path = config.flashDiskKey == FlashDiskKey::BuiltIn ? kBuiltInDriverKey : kBlockDeviceDriverKey;
    SetFlashDiskDriver(Key(data, path), static_cast<uint32_t>(fileSystemBase), flashBytes);
  }
  SetDword(Key(data, kStorageManagerKey), u"PNPUnloadDelay", kUnloadDelayMs);
  RegKey* profile = Key(data, kProfileKey);
  SetText(profile, u"Name", profileName);
  SetText(profile, u"Folder", u"Hard Disk");
  SetDword(profile, u"AutoMount", kAutoMount);
  SetText(profile, u"DefaultFileSystem", u"FATFS");
  SetDword(Key(data, kProfileFatKey), u"FormatTfat", kFormatTfat);
  SetText(Key(data, kIdentKey), u"Name", u"Module");
  return true;
}

bool FactoryRegistryLoad(const Module& module, RegistryData* data, std::string* error) {
  std::string path = FactoryRegistryPath(module.dir);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return FactoryRegistryBuild(module.config, data, error);
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  if (!RegistryFromText(text, data, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool FactoryRegistryInstall(const Module& module, const ModuleFlash& flash, std::string* error) {
  RegistryData data;
  if (!FactoryRegistryBuild(module.config, &data, error)) return false;
  std::string text = RegistryToText(data);
  return AtomicWriteFile(FactoryRegistryPath(module.dir), text, error) &&
         RegistryReplaceLive(module.dir, data, error) && RegistryPersistSave(module, flash, text, error);
}
