// Mounting: the boot sector's fields checked against each other and the
// device before anything else of the volume is trusted.
#include <cstring>

#include "module/fat_internal.h"

namespace {

bool PowerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

FatResult FatMount(const FatDevice& device, FatVolume* volume) {
  *volume = FatVolume();
  FatVolume& v = *volume;
  v.device = device;
  uint32_t bytes = device.sectorBytes;
  if (bytes < 512 || bytes > 4096 || !PowerOfTwo(bytes) || device.sectorCount == 0 || !device.read || !device.write) {
    return FatResult::InvalidParameter;
  }
  std::vector<uint8_t> boot(bytes);
  FatResult r = FatDeviceRead(device, 0, 1, boot.data());
  if (r != FatResult::Ok) return r;
  const uint8_t* s = boot.data();

  uint32_t spc = s[kBpbSectorsPerCluster];
  uint32_t reserved = LoadLe16(s + kBpbReservedSectors);
  uint32_t fats = s[kBpbFatCount];
  uint32_t rootEntries = LoadLe16(s + kBpbRootEntries);
  uint32_t total = LoadLe16(s + kBpbTotalSectors16);
  if (total == 0) total = LoadLe32(s + kBpbTotalSectors32);
  uint32_t fatSectors16 = LoadLe16(s + kBpbFatSectors16);
  bool fat32 = fatSectors16 == 0;
  uint32_t fatSectors = fat32 ? LoadLe32(s + kBpbFatSectors32) : fatSectors16;
  if (LoadLe16(s + kBpbBytesPerSector) != bytes || !PowerOfTwo(spc) || spc > 128 || reserved == 0 || fats == 0 ||
      fats > 4 || total == 0 || total > device.sectorCount || fatSectors == 0 || (fat32 && rootEntries != 0) ||
      (!fat32 && rootEntries == 0)) {
    return FatResult::Corrupt;
  }
  uint64_t rootSectors = (uint64_t{rootEntries} * kFatDirEntryBytes + bytes - 1) / bytes;
  uint64_t dataStart = reserved + uint64_t{fats} * fatSectors + rootSectors;
  if (dataStart >= total) return FatResult::Corrupt;
  uint32_t clusters = static_cast<uint32_t>((total - dataStart) / spc);
  // A FAT32 volume says so by its layout; FAT12 and FAT16 differ only in
  // how many clusters they have.
  FatType type = fat32 ? FatType::Fat32 : clusters <= kFat12MaxClusters ? FatType::Fat12 : FatType::Fat16;
  uint64_t fatBits = uint64_t{fatSectors} * bytes * 8;
  if (clusters == 0 || (!fat32 && clusters > kFat16MaxClusters) || clusters > kFat32MaxClusters ||
      (uint64_t{clusters} + 2) * static_cast<uint32_t>(type) > fatBits) {
    return FatResult::Corrupt;
  }

  v.type = type;
  v.sectorBytes = bytes;
  v.sectorsPerCluster = spc;
  v.clusterBytes = spc * bytes;
  if (v.clusterBytes > 2 * kFatMaxClusterBytes) return FatResult::Corrupt;
  v.totalSectors = total;
  v.fatStart = reserved;
  v.fatSectors = fatSectors;
  v.fatCount = fats;
  v.rootStart = reserved + fats * fatSectors;
  v.rootEntries = rootEntries;
  v.dataStart = static_cast<uint32_t>(dataStart);
  v.clusterCount = clusters;
  const uint8_t* ext = s + (fat32 ? kFatExtFat32 : kFatExtFat16);
  if (ext[kExtSignature] == kFatExtendedBootSignature || ext[kExtSignature] == 0x28) {
    v.serial = LoadLe32(ext + kExtSerial);
  }
  if (ext[kExtSignature] == kFatExtendedBootSignature)
    v.label.assign(reinterpret_cast<const char*>(ext + kExtLabel), 11);
  if (fat32) {
    uint32_t flags = LoadLe16(s + kBpbExtFlags);
    v.mirrored = (flags & 0x80) == 0;
    v.activeFat = v.mirrored ? 0 : flags & 0x0F;
    v.rootCluster = LoadLe32(s + kBpbRootCluster);
    if (v.activeFat >= fats || !FatIsDataCluster(v, v.rootCluster)) return FatResult::Corrupt;
    uint32_t info = LoadLe16(s + kBpbFsInfoSector);
    v.fsInfoSector = info != 0 && info < reserved ? info : 0;
  }
  return FatLoadFsInfo(&v);
}
