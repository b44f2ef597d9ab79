// What the FAT files share among themselves: the table, folders, names and
// times. Not for callers outside the fat_*.cpp files; they use fat_volume.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/fat_volume.h"
#include "module/store_bytes.h"

constexpr uint32_t kFatDirEntryBytes = 32;
constexpr uint8_t kFatLongNameAttributes = 0x0F;  // read-only, hidden, system and volume id together
constexpr uint8_t kFatAttributeMask = 0x3F;
constexpr uint8_t kFatDeleted = 0xE5;
constexpr uint8_t kFatKanjiE5 = 0x05;  // a stored first byte 0x05 stands for 0xE5
constexpr uint8_t kFatLastLongEntry = 0x40;
constexpr uint32_t kFatLongEntryUnits = 13;
constexpr uint32_t kFatMaxLongEntries = 20;  // 20 * 13 units hold 255
constexpr uint32_t kFatMaxDirEntries = 65536;
constexpr uint8_t kFatLowerBase = 0x08;  // case flags of a short entry
constexpr uint8_t kFatLowerExtension = 0x10;

// Short entry fields.
constexpr uint32_t kFatOffAttributes = 11;
constexpr uint32_t kFatOffCase = 12;
constexpr uint32_t kFatOffCreatedTenths = 13;
constexpr uint32_t kFatOffCreatedTime = 14;
constexpr uint32_t kFatOffCreatedDate = 16;
constexpr uint32_t kFatOffAccessedDate = 18;
constexpr uint32_t kFatOffClusterHigh = 20;
constexpr uint32_t kFatOffWrittenTime = 22;
constexpr uint32_t kFatOffWrittenDate = 24;
constexpr uint32_t kFatOffClusterLow = 26;
constexpr uint32_t kFatOffSize = 28;
constexpr uint32_t kFatOffLongChecksum = 13;  // of a long name entry

// FAT entry values as FatGetEntry hands them out, whatever the FAT's width.
constexpr uint32_t kFatFreeCluster = 0;
constexpr uint32_t kFatBadCluster = 0x0FFFFFF7;
constexpr uint32_t kFatChainEnd = 0x0FFFFFFF;

using FatShortName = std::array<uint8_t, 11>;

// Boot sector fields. The extended fields (drive number, signature, serial
// number, label, type name) follow the BPB at kFatExtFat16 or kFatExtFat32.
constexpr uint32_t kBpbBytesPerSector = 11;
constexpr uint32_t kBpbSectorsPerCluster = 13;
constexpr uint32_t kBpbReservedSectors = 14;
constexpr uint32_t kBpbFatCount = 16;
constexpr uint32_t kBpbRootEntries = 17;
constexpr uint32_t kBpbTotalSectors16 = 19;
constexpr uint32_t kBpbMedia = 21;
constexpr uint32_t kBpbFatSectors16 = 22;
constexpr uint32_t kBpbSectorsPerTrack = 24;
constexpr uint32_t kBpbHeads = 26;
constexpr uint32_t kBpbTotalSectors32 = 32;
constexpr uint32_t kBpbFatSectors32 = 36;
constexpr uint32_t kBpbExtFlags = 40;
constexpr uint32_t kBpbRootCluster = 44;
constexpr uint32_t kBpbFsInfoSector = 48;
constexpr uint32_t kBpbBackupBootSector = 50;
constexpr uint32_t kFatExtFat16 = 36;
constexpr uint32_t kFatExtFat32 = 64;
constexpr uint32_t kExtSignature = 2;
constexpr uint32_t kExtSerial = 3;
constexpr uint32_t kExtLabel = 7;
constexpr uint32_t kExtTypeName = 18;
constexpr uint8_t kFatExtendedBootSignature = 0x29;
constexpr uint8_t kFatMedia = 0xF8;  // fixed disk
constexpr uint32_t kFat12MaxClusters = 4084;
constexpr uint32_t kFat16MaxClusters = 65524;
constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF5;
constexpr uint32_t kFatMaxClusterBytes = 32768;

// ---- device access (fat_table.cpp)
FatResult FatDeviceRead(const FatDevice& device, uint32_t first, uint32_t count, uint8_t* out);
FatResult FatDeviceWrite(const FatDevice& device, uint32_t first, uint32_t count, const uint8_t* data);
FatResult FatDeviceZero(const FatDevice& device, uint32_t first, uint32_t count);

// ---- the table (fat_table.cpp)
inline bool FatIsDataCluster(const FatVolume& v, uint32_t cluster) {
  return cluster >= 2 && cluster - 2 < v.clusterCount;
}
inline uint32_t FatClusterSector(const FatVolume& v, uint32_t cluster) {
  return v.dataStart + (cluster - 2) * v.sectorsPerCluster;
}
FatResult FatGetEntry(FatVolume* v, uint32_t cluster, uint32_t* value);
FatResult FatSetEntry(FatVolume* v, uint32_t cluster, uint32_t value);
// The clusters of the chain from `first`; Corrupt when a link leaves the
// data area, meets a free or bad cluster, or the chain grows longer than
// `limit` clusters (a loop, or a chain longer than its owner allows).
FatResult FatChain(FatVolume* v, uint32_t first, uint32_t limit, std::vector<uint32_t>* chain);
// Finds `count` free clusters and links them into a chain hung after
// `after` (0: a new chain). DiskFull changes nothing.
FatResult FatAllocate(FatVolume* v, uint32_t count, uint32_t after, std::vector<uint32_t>* added);
// Frees the chain from `first` as far as it goes; stops at anything that is
// not a link to a data cluster, so a looping chain ends where it returns.
FatResult FatFreeChain(FatVolume* v, uint32_t first);
FatResult FatCountFree(FatVolume* v, uint32_t* free);
// FAT32: reads the hints of the FSInfo sector; one without its signatures
// is left alone from then on (fsInfoSector becomes 0).
FatResult FatLoadFsInfo(FatVolume* v);
void FatEncodeFsInfo(uint8_t* sector, uint32_t freeCount, uint32_t nextFree);
// Ends a public operation: when `result` is Ok, changed FAT sectors go to
// every FAT copy and the FSInfo hints are written; otherwise the changes
// still in the cache are dropped. The cache is emptied either way.
FatResult FatFinish(FatVolume* v, FatResult result);

// ---- times (fat_time.cpp)
struct FatStamp {
  uint16_t date = 0;
  uint16_t time = 0;
  uint8_t tenths = 0;  // 10 ms units, 0..199
};
FatStamp FatStampFromFileTime(uint64_t fileTime);
uint64_t FatFileTimeFromStamp(const FatStamp& stamp);

// ---- names (fat_names.cpp)
char16_t FatUpper(char16_t c);
bool FatNamesEqual(std::u16string_view a, std::u16string_view b);
// A path component as it will be stored: trailing dots and spaces dropped.
// InvalidName for an empty result, a character a long name cannot hold, or
// more than 255 units.
FatResult FatCleanName(std::u16string_view name, std::u16string* clean);
// Whether a name read from a volume is one this library would store under
// that very name: one it would clean to something else ("..", "x.", "a/b")
// is refused, so it never stands in a path.
bool FatLongNameLegal(std::u16string_view name);
// The same for the 11 bytes of a short entry: no control character or
// character a FAT name cannot hold, and not blank.
bool FatShortNameLegal(const FatShortName& name);
// True when `name` is already a valid upper-case 8.3 name (no long entries needed).
bool FatPlainShortName(std::u16string_view name, FatShortName* shortName);
// The alias for a long name: its basis name, with the first numeric tail
// ("~1", "~2" ...) that is not among `taken` (sorted) when the basis was
// lossy, did not hold the whole name, or is taken. False when every tail is.
bool FatMakeAlias(std::u16string_view name, const std::vector<FatShortName>& taken, FatShortName* alias);
uint8_t FatShortChecksum(const FatShortName& name);
// "NAME.EXT" (lower-cased parts where the case flags say so).
std::u16string FatShortDisplay(const FatShortName& name, uint8_t caseFlags);
// The 11 bytes of a volume label (upper-cased, blank-padded); false when a
// character cannot stand in one.
bool FatLabelBytes(std::u16string_view label, FatShortName* bytes);
// The long name entries for `name`, in the order they are stored.
void FatEncodeLongEntries(std::u16string_view name, uint8_t checksum, std::vector<uint8_t>* entries);
// The 13 units one long name entry carries.
void FatLongEntryUnits(const uint8_t* entry, char16_t units[kFatLongEntryUnits]);

// ---- folders (fat_directory.cpp)

// A whole folder in memory: the fixed root of FAT12/16 (cluster 0) or a chain.
struct FatDir {
  uint32_t cluster = 0;  // 0: the root, whatever the FAT type
  uint32_t sectorBytes = 0;
  uint32_t slots = 0;  // entries it has room for
  std::vector<uint32_t> sectors;
  std::vector<uint8_t> bytes;
  std::vector<bool> dirty;   // per sector
  uint32_t lastCluster = 0;  // 0 for the fixed root
};

// One name in a folder.
struct FatDirEntry {
  uint32_t first = 0;  // slot of its first long name entry, else of the short entry
  uint32_t slot = 0;   // slot of the short entry
  std::u16string longName;
  FatShortName shortName{};
  uint8_t attributes = 0;
  uint8_t caseFlags = 0;
  uint32_t cluster = 0;
  uint32_t size = 0;
  bool dot = false;    // "." or ".."
  bool label = false;  // the volume label
  // Names no FAT volume may hold, as crafted or damaged volumes have them:
  // never matched by a path, never handed out as a name.
  bool longRefused = false;
  bool shortRefused = false;
};

inline uint8_t* FatSlot(FatDir* dir, uint32_t slot) { return dir->bytes.data() + slot * kFatDirEntryBytes; }
inline void FatMarkSlot(FatDir* dir, uint32_t slot) { dir->dirty[slot * kFatDirEntryBytes / dir->sectorBytes] = true; }

FatResult FatDirLoad(FatVolume* v, uint32_t cluster, FatDir* dir);
FatResult FatDirSave(FatVolume* v, FatDir* dir);
void FatDirScan(const FatVolume& v, const FatDir& dir, std::vector<FatDirEntry>* entries);
// Index in `entries` of the name (long or short, any case); -1 when absent.
// Dot entries and the label never match.
int FatDirFind(const std::vector<FatDirEntry>& entries, std::u16string_view name);
// Adds `name` with the fields of `shortEntry` (attributes, times, cluster,
// size; its name bytes are replaced). Grows a chained folder when it has no
// room. `slot` receives where the short entry went.
FatResult FatDirAdd(FatVolume* v, FatDir* dir, const std::vector<FatDirEntry>& entries, std::u16string_view name,
                    const uint8_t* shortEntry, uint32_t* slot);
// Marks the entry's long and short slots deleted.
void FatDirRemove(FatDir* dir, const FatDirEntry& entry);
// The first cluster a short entry names.
uint32_t FatEntryCluster(const FatVolume& v, const uint8_t* shortEntry);
void FatSetEntryCluster(const FatVolume& v, uint8_t* shortEntry, uint32_t cluster);

// Where a path leads.
struct FatPlace {
  bool root = false;                 // the path named the root itself
  FatDir parent;                     // the folder holding the last component
  std::vector<FatDirEntry> entries;  // its names
  int found = -1;                    // index in entries; -1 when the name is not there
  std::u16string name;               // the last component, cleaned
  std::vector<uint32_t> trail;       // clusters of the folders walked through, the parent last
};
FatResult FatResolve(FatVolume* v, std::u16string_view path, FatPlace* place);
