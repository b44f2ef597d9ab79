// Writing an empty volume: choosing the FAT type and cluster size, sizing
// the tables, and laying down the boot sector, FSInfo, tables and root.
#include <algorithm>
#include <cstring>

#include "module/fat_internal.h"

namespace {

// Cluster sizes (in 512-byte sectors) by volume size (in 512-byte sectors),
// the documented defaults of the platform's formatter: the first row whose
// size is not passed applies; 0 means the type does not suit that size.
struct SizeRow {
  uint64_t upTo;
  uint32_t sectors512;
};
constexpr SizeRow kFat16Rows[] = {{8400, 0},     {32680, 2},    {262144, 4},   {524288, 8},
                                  {1048576, 16}, {2097152, 32}, {4194304, 64}, {UINT64_MAX, 0}};
constexpr SizeRow kFat32Rows[] = {{66600, 0},     {532480, 1},    {16777216, 8},
                                  {33554432, 16}, {67108864, 32}, {UINT64_MAX, 64}};
constexpr uint64_t kFat12UpTo = 8400;     // what the FAT16 table refuses
constexpr uint64_t kFat16UpTo = 1048576;  // 512 MB: rows past this one only serve a forced FAT16
constexpr uint32_t kDefaultRootEntries = 512;
constexpr uint32_t kFat32ReservedSectors = 32;
constexpr uint32_t kFat32FsInfoSector = 1;
constexpr uint32_t kFat32BackupBootSector = 6;
constexpr uint8_t kOemName[8] = {'F', 'L', 'A', 'S', 'H', 'W', 'R', 'T'};
// int 18h (no bootable disk here), then halt for good.
constexpr uint8_t kBootStub[] = {0xCD, 0x18, 0xF4, 0xEB, 0xFD};

struct Layout {
  FatType type = FatType::Auto;
  uint32_t total = 0;
  uint32_t sectorBytes = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reserved = 0;
  uint32_t fatCount = 0;
  uint32_t rootEntries = 0;
  uint32_t rootSectors = 0;
  uint32_t fatSectors = 0;
  uint32_t clusters = 0;
};

uint32_t Bits(FatType type) { return static_cast<uint32_t>(type); }

bool CountFits(FatType type, uint64_t clusters) {
  switch (type) {
    case FatType::Fat12:
      return clusters >= 1 && clusters <= kFat12MaxClusters;
    case FatType::Fat16:
      return clusters > kFat12MaxClusters && clusters <= kFat16MaxClusters;
    default:
      return clusters > kFat16MaxClusters && clusters <= kFat32MaxClusters;
  }
}

// Sizes the FAT for `clusterBytes`: it must hold an entry for every cluster
// the space after it leaves. False when nothing is left or the count does
// not suit the type.
bool Fit(Layout* l, uint32_t clusterBytes) {
  l->sectorsPerCluster = clusterBytes / l->sectorBytes;
  l->reserved = l->type == FatType::Fat32 ? kFat32ReservedSectors : 1;
  uint32_t rootEntries = l->type == FatType::Fat32 ? 0 : l->rootEntries;
  l->rootSectors = (rootEntries * kFatDirEntryBytes + l->sectorBytes - 1) / l->sectorBytes;
  uint64_t bitsPerSector = uint64_t{l->sectorBytes} * 8;
  uint64_t fatSectors = 1;
  // More FAT leaves fewer clusters, so the size only grows and settles in a few rounds.
  for (int round = 0; round < 64; round++) {
    uint64_t meta = l->reserved + uint64_t{l->fatCount} * fatSectors + l->rootSectors;
    if (meta >= l->total) return false;
    uint64_t clusters = (l->total - meta) / l->sectorsPerCluster;
    uint64_t need = ((clusters + 2) * Bits(l->type) + bitsPerSector - 1) / bitsPerSector;
    if (need <= fatSectors) {
      if (!CountFits(l->type, clusters)) return false;
      l->fatSectors = static_cast<uint32_t>(fatSectors);
      l->clusters = static_cast<uint32_t>(clusters);
      return true;
    }
    fatSectors = need;
  }
  return false;
}

uint32_t TableClusterBytes(FatType type, uint64_t size512) {
  const SizeRow* rows = type == FatType::Fat16 ? kFat16Rows : kFat32Rows;
  size_t count = type == FatType::Fat16 ? std::size(kFat16Rows) : std::size(kFat32Rows);
  if (type == FatType::Fat12) return 0;
  for (size_t i = 0; i < count; i++) {
    if (size512 <= rows[i].upTo) return rows[i].sectors512 * 512;
  }
  return 0;
}

// The table's cluster size where it has one; otherwise (FAT12, or a size
// the table leaves out) the smallest cluster size the count suits.
bool FitType(Layout* l, uint64_t size512) {
  uint32_t table = TableClusterBytes(l->type, size512);
  if (table != 0) return Fit(l, std::max(table, l->sectorBytes));
  for (uint32_t bytes = l->sectorBytes; bytes <= kFatMaxClusterBytes; bytes *= 2) {
    if (Fit(l, bytes)) return true;
  }
  return false;
}

FatResult ChooseLayout(const FatDevice& device, const FatFormatOptions& options, Layout* l) {
  l->total = device.sectorCount;
  l->sectorBytes = device.sectorBytes;
  l->fatCount = options.fatCount;
  if (l->fatCount < 1 || l->fatCount > 2) return FatResult::InvalidParameter;
  uint32_t perSector = device.sectorBytes / kFatDirEntryBytes;
  if (options.rootEntries != 0) {
    l->rootEntries = (options.rootEntries + perSector - 1) / perSector * perSector;
    if (l->rootEntries > 0xFFFF) return FatResult::InvalidParameter;
  } else {
    // A tiny volume should not spend most of itself on its root folder.
    l->rootEntries = std::max(perSector, kDefaultRootEntries);
    while (l->rootEntries > perSector &&
           uint64_t{l->rootEntries} * kFatDirEntryBytes * 16 > uint64_t{l->total} * l->sectorBytes) {
      l->rootEntries = std::max(perSector, l->rootEntries / 2 / perSector * perSector);
    }
  }
  uint64_t size512 = uint64_t{device.sectorCount} * device.sectorBytes / 512;
  uint32_t cluster = options.clusterBytes;
  if (cluster != 0) {
    if ((cluster & (cluster - 1)) != 0 || cluster < device.sectorBytes || cluster > kFatMaxClusterBytes) {
      return FatResult::InvalidParameter;
    }
    // The count of clusters decides the type; with the size given, take the type it leads to.
    for (FatType type : {FatType::Fat12, FatType::Fat16, FatType::Fat32}) {
      if (options.type != FatType::Auto && options.type != type) continue;
      l->type = type;
      if (Fit(l, cluster)) return FatResult::Ok;
    }
    return FatResult::InvalidParameter;
  }
  l->type = options.type;
  if (l->type != FatType::Auto) return FitType(l, size512) ? FatResult::Ok : FatResult::InvalidParameter;
  l->type = size512 <= kFat12UpTo ? FatType::Fat12 : size512 <= kFat16UpTo ? FatType::Fat16 : FatType::Fat32;
  if (FitType(l, size512)) return FatResult::Ok;
  // Sectors larger than the table's clusters leave fewer clusters than its
  // type needs; then the count decides the type.
  for (FatType type : {FatType::Fat12, FatType::Fat16, FatType::Fat32}) {
    l->type = type;
    if (FitType(l, size512)) return FatResult::Ok;
  }
  return FatResult::InvalidParameter;
}

void EncodeBootSector(const Layout& l, const FatFormatOptions& options, const FatShortName& label, uint8_t* s) {
  bool fat32 = l.type == FatType::Fat32;
  uint32_t code = fat32 ? kFatExtFat32 + 26 : kFatExtFat16 + 26;
  s[0] = 0xEB;
  s[1] = static_cast<uint8_t>(code - 2);
  s[2] = 0x90;
  std::memcpy(s + 3, kOemName, sizeof(kOemName));
  StoreLe16(s + kBpbBytesPerSector, static_cast<uint16_t>(l.sectorBytes));
  s[kBpbSectorsPerCluster] = static_cast<uint8_t>(l.sectorsPerCluster);
  StoreLe16(s + kBpbReservedSectors, static_cast<uint16_t>(l.reserved));
  s[kBpbFatCount] = static_cast<uint8_t>(l.fatCount);
  StoreLe16(s + kBpbRootEntries, static_cast<uint16_t>(fat32 ? 0 : l.rootEntries));
  bool small = !fat32 && l.total <= 0xFFFF;
  StoreLe16(s + kBpbTotalSectors16, static_cast<uint16_t>(small ? l.total : 0));
  s[kBpbMedia] = kFatMedia;
  StoreLe16(s + kBpbFatSectors16, static_cast<uint16_t>(fat32 ? 0 : l.fatSectors));
  StoreLe16(s + kBpbSectorsPerTrack, 63);
  StoreLe16(s + kBpbHeads, 255);
  StoreLe32(s + kBpbTotalSectors32, small ? 0 : l.total);
  if (fat32) {
    StoreLe32(s + kBpbFatSectors32, l.fatSectors);
    StoreLe32(s + kBpbRootCluster, 2);
    StoreLe16(s + kBpbFsInfoSector, kFat32FsInfoSector);
    StoreLe16(s + kBpbBackupBootSector, kFat32BackupBootSector);
  }
  uint8_t* ext = s + (fat32 ? kFatExtFat32 : kFatExtFat16);
  ext[0] = 0x80;
  ext[kExtSignature] = kFatExtendedBootSignature;
  StoreLe32(ext + kExtSerial, options.serial);
  if (options.label.empty()) {
    std::memcpy(ext + kExtLabel, "NO NAME    ", 11);
  } else {
    std::copy(label.begin(), label.end(), ext + kExtLabel);
  }
  const char* typeName = l.type == FatType::Fat12 ? "FAT12   " : l.type == FatType::Fat16 ? "FAT16   " : "FAT32   ";
  std::memcpy(ext + kExtTypeName, typeName, 8);
  std::memcpy(s + code, kBootStub, sizeof(kBootStub));
  s[510] = 0x55;
  s[511] = 0xAA;
}

// Entries 0 and 1 hold the media byte and an end mark (the volume is clean);
// on FAT32 cluster 2 is the root folder's one cluster.
void EncodeFirstFatSector(const Layout& l, uint8_t* s) {
  switch (l.type) {
    case FatType::Fat12:
      s[0] = kFatMedia;
      s[1] = 0xFF;
      s[2] = 0xFF;
      break;
    case FatType::Fat16:
      StoreLe16(s, 0xFF00 | kFatMedia);
      StoreLe16(s + 2, 0xFFFF);
      break;
    default:
      StoreLe32(s, 0x0FFFFF00 | kFatMedia);
      StoreLe32(s + 4, 0x0FFFFFFF);
      StoreLe32(s + 8, 0x0FFFFFFF);
      break;
  }
}

}  // namespace

FatResult FatFormat(const FatDevice& device, const FatFormatOptions& options) {
  uint32_t bytes = device.sectorBytes;
  if (bytes < 512 || bytes > 4096 || (bytes & (bytes - 1)) != 0 || !device.read || !device.write) {
    return FatResult::InvalidParameter;
  }
  FatShortName label{};
  if (!FatLabelBytes(options.label, &label)) return FatResult::InvalidName;
  Layout l;
  FatResult r = ChooseLayout(device, options, &l);
  if (r != FatResult::Ok) return r;

  uint32_t fatStart = l.reserved;
  uint32_t rootStart = fatStart + l.fatCount * l.fatSectors;
  uint32_t dataStart = rootStart + l.rootSectors;
  bool fat32 = l.type == FatType::Fat32;
  uint32_t rootFolderSectors = fat32 ? l.sectorsPerCluster : l.rootSectors;
  r = FatDeviceZero(device, 0, dataStart + (fat32 ? rootFolderSectors : 0));
  if (r != FatResult::Ok) return r;

  std::vector<uint8_t> sector(bytes, 0);
  EncodeFirstFatSector(l, sector.data());
  for (uint32_t copy = 0; copy < l.fatCount && r == FatResult::Ok; copy++) {
    r = FatDeviceWrite(device, fatStart + copy * l.fatSectors, 1, sector.data());
  }
  if (r != FatResult::Ok) return r;

  if (!options.label.empty()) {
    std::fill(sector.begin(), sector.end(), 0);
    std::copy(label.begin(), label.end(), sector.begin());
    sector[kFatOffAttributes] = kFatVolumeId;
    FatStamp stamp = FatStampFromFileTime(options.now);
    StoreLe16(&sector[kFatOffWrittenTime], stamp.time);
    StoreLe16(&sector[kFatOffWrittenDate], stamp.date);
    r = FatDeviceWrite(device, fat32 ? dataStart : rootStart, 1, sector.data());
    if (r != FatResult::Ok) return r;
  }

  std::fill(sector.begin(), sector.end(), 0);
  EncodeBootSector(l, options, label, sector.data());
  if (fat32) {
    r = FatDeviceWrite(device, kFat32BackupBootSector, 1, sector.data());
    if (r != FatResult::Ok) return r;
    std::vector<uint8_t> info(bytes, 0);
    FatEncodeFsInfo(info.data(), l.clusters - 1, 3);
    r = FatDeviceWrite(device, kFat32FsInfoSector, 1, info.data());
    if (r == FatResult::Ok) r = FatDeviceWrite(device, kFat32BackupBootSector + kFat32FsInfoSector, 1, info.data());
    if (r != FatResult::Ok) return r;
  }
  // The boot sector last: until it is there, the device holds no volume.
  return FatDeviceWrite(device, 0, 1, sector.data());
}
