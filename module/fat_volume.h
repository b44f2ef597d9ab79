// The FAT file system the module's flash disk partitions hold: format, mount
// and path-based file operations on any device of 512..4096-byte sectors.
//
// Callers mount afresh for every operation, because other processes may
// change the volume between calls: a FatVolume is what one look at the boot
// sector found, plus the FAT sectors read so far. Every operation that changes
// the volume writes everything back before it returns.
//
// Paths are UTF-16, relative to the volume's root, with '\' or '/' between
// components ("dir\\sub\\Long File Name.txt"; a leading separator is allowed,
// an empty path is the root). Names match without regard to case, against the
// long name and against the 8.3 short name. Trailing dots and spaces of a name
// are dropped, as the module's OS does.
//
// Times are file times (100 ns units since 1601-01-01) and the FAT's stored
// local time is taken as UTC. What each time keeps:
//   created:    2 s from the time field plus the 10 ms field, so 10 ms;
//   written:    2 s (rounded down);
//   accessed:   the date only (reads back as midnight).
// Dates outside 1980..2107 are clamped to that range; a stored date of zero
// reads back as time 0.
//
// Not modelled: code pages (short names are written in ASCII, any other
// character of a long name becomes '_' in its alias; bytes above 0x7F of
// short names from elsewhere read as the Latin-1 character of that value);
// the lower-case flags are honoured when reading but never written (a name
// that is not upper-case 8.3 always gets long name entries); case folding
// beyond Latin, Greek and Cyrillic letters; bad cluster marking; the dirty
// volume flags; exFAT; boot code beyond a stub that halts; locking between
// processes (the caller's flash lock does that); last access times are not
// updated by reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The sectors a volume lives on. `read` and `write` move whole sectors and
// return false on a device error; the library never asks for sectors at or
// past `sectorCount`.
struct FatDevice {
  void* ctx = nullptr;
  uint32_t sectorBytes = 0;
  uint32_t sectorCount = 0;
  bool (*read)(void* ctx, uint32_t first, uint32_t count, uint8_t* out) = nullptr;
  bool (*write)(void* ctx, uint32_t first, uint32_t count, const uint8_t* data) = nullptr;
};

enum class FatResult : uint8_t {
  Ok,
  NotFound,          // the last component of the path does not exist
  PathNotFound,      // a folder on the way does not exist or is a file
  Exists,            // the name is taken
  NotEmpty,          // a folder to remove still holds entries
  IsDirectory,       // a file operation named a folder
  NotDirectory,      // a folder operation named a file
  AccessDenied,      // read-only entry, the root, or a folder moved into itself
  DiskFull,          // no free cluster, or no room left in a fixed root folder
  InvalidName,       // a character a FAT name cannot hold, "." or "..", or too long
  InvalidParameter,  // format options that do not fit the device
  TooLarge,          // a file would pass 4 GiB - 1
  Corrupt,           // the volume contradicts itself (see FatMount and the chain checks)
  IoError,           // the device refused a read or write
};

const char* FatResultName(FatResult result);

enum class FatType : uint8_t { Auto = 0, Fat12 = 12, Fat16 = 16, Fat32 = 32 };

// Directory entry attributes.
constexpr uint8_t kFatReadOnly = 0x01;
constexpr uint8_t kFatHidden = 0x02;
constexpr uint8_t kFatSystem = 0x04;
constexpr uint8_t kFatVolumeId = 0x08;
constexpr uint8_t kFatDirectory = 0x10;
constexpr uint8_t kFatArchive = 0x20;
// What FatCreateFile and FatSetAttributes may set.
constexpr uint8_t kFatSettableAttributes = kFatReadOnly | kFatHidden | kFatSystem | kFatArchive;

constexpr uint32_t kFatMaxNameUnits = 255;
constexpr uint32_t kFatMaxFileBytes = 0xFFFFFFFF;

struct FatFormatOptions {
  FatType type = FatType::Auto;  // Auto: by size (see FatFormat)
  uint32_t clusterBytes = 0;     // 0: by size; else a power of two from the sector size to 32 KiB
  uint32_t rootEntries = 0;      // FAT12/16 only; 0: 512 (fewer on tiny volumes)
  uint32_t fatCount = 2;         // 1 or 2
  std::u16string label;          // up to 11 characters of an 8.3 name; empty: none
  uint32_t serial = 0;           // the volume serial number, as given
  uint64_t now = 0;              // file time stamped on the label entry
};

// Writes an empty volume over the whole device. With type and cluster size
// left to it: up to 8400 sectors of 512 bytes (4.1 MB) FAT12 with the
// smallest cluster that keeps under 4085 clusters; up to 512 MB FAT16 with
// 1 KB clusters up to 16 MB, 2 KB up to 128 MB, 4 KB up to 256 MB, 8 KB
// beyond; above that FAT32 with 512-byte clusters up to 260 MB, 4 KB up to
// 8 GB, 8 KB up to 16 GB, 16 KB up to 32 GB, 32 KB beyond. Clusters are never
// smaller than a sector; where that leaves a count the type cannot have, the
// count decides the type. A forced type gets the cluster size its table gives
// for the size (else the smallest that suits it); options whose cluster count
// does not fit the type are InvalidParameter.
FatResult FatFormat(const FatDevice& device, const FatFormatOptions& options);

struct FatCachedSector {
  uint32_t index = 0;  // sector within the FAT
  bool dirty = false;
  uint64_t used = 0;  // for choosing which to drop
  std::vector<uint8_t> bytes;
};

struct FatVolume {
  FatDevice device;
  FatType type = FatType::Auto;
  uint32_t sectorBytes = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint32_t totalSectors = 0;
  uint32_t fatStart = 0;    // first sector of the first FAT
  uint32_t fatSectors = 0;  // of one FAT
  uint32_t fatCount = 0;
  uint32_t activeFat = 0;     // the FAT that is read
  bool mirrored = true;       // writes go to every FAT, else only to the active one
  uint32_t rootStart = 0;     // FAT12/16: first sector of the fixed root folder
  uint32_t rootEntries = 0;   // FAT12/16: its size in entries
  uint32_t rootCluster = 0;   // FAT32: first cluster of the root folder
  uint32_t dataStart = 0;     // sector of cluster 2
  uint32_t clusterCount = 0;  // data clusters: numbers 2 .. clusterCount + 1
  uint32_t serial = 0;
  std::string label;  // from the boot sector, blanks kept
  // FAT32 FSInfo sector (0 when absent) and its hints as kept up to date.
  uint32_t fsInfoSector = 0;
  uint32_t freeCount = 0xFFFFFFFF;  // 0xFFFFFFFF: unknown
  uint32_t nextFree = 0xFFFFFFFF;
  bool fsInfoDirty = false;
  std::vector<FatCachedSector> cache;  // FAT sectors read or changed by this operation
  uint64_t cacheClock = 0;
  size_t cacheLast = 0;  // slot of the latest lookup
};

// Reads and checks the boot sector (and FSInfo). Corrupt when its fields
// contradict each other or the device; the volume must not be used then.
FatResult FatMount(const FatDevice& device, FatVolume* volume);

// Names come from the volume and are checked there: `name` and `shortName`
// are only ever names a FAT volume can hold (so a single path component).
// A volume may hold others ("..", "a/b", control characters); the entry is
// then `nameRefused`, goes by its short name if that one is sound, and
// `shown` tells what the volume holds.
struct FatEntryInfo {
  std::u16string name;       // long name, else the short name as shown; empty when both are refused
  std::u16string shortName;  // "NAME.EXT" as stored (upper case); empty when refused
  std::u16string shown;      // the volume's own name for it (long, else short) as FatShownName gives it
  bool nameRefused = false;  // the volume's own name for it is not one a FAT volume can hold
  uint8_t attributes = 0;
  uint32_t size = 0;
  uint64_t created = 0;  // file times
  uint64_t accessed = 0;
  uint64_t written = 0;
};

// The root answers with the directory attribute, an empty name and times 0.
// `info` may be null to ask only whether the entry is there.
FatResult FatStat(FatVolume* volume, std::u16string_view path, FatEntryInfo* info);
// Entries of a folder, in the order they are stored, without "." and "..".
FatResult FatList(FatVolume* volume, std::u16string_view path, std::vector<FatEntryInfo>* entries);

// `name` fit for a terminal or a message: characters a FAT name cannot hold,
// control characters (C0, DEL, C1) and the controls that reorder text become
// hex escapes ("\x1B", "\x2F"; four digits past 0xFF), so a name read from a
// volume cannot drive the terminal and a '/' in it shows as no separator.
std::u16string FatShownName(std::u16string_view name);

// A new empty file; all three times are `now`. Exists when the name is taken
// (by a file or a folder).
FatResult FatCreateFile(FatVolume* volume, std::u16string_view path, uint8_t attributes, uint64_t now);
// Reads up to `length` bytes at `offset`; fewer at the end of the file.
FatResult FatRead(FatVolume* volume, std::u16string_view path, uint64_t offset, uint8_t* out, uint32_t length,
                  uint32_t* done);
// Writes at `offset`, extending the file as needed (a gap reads as zeros);
// the last write time becomes `now` and the archive attribute is set. On
// DiskFull the file is left as it was.
FatResult FatWrite(FatVolume* volume, std::u16string_view path, uint64_t offset, const uint8_t* data, uint32_t length,
                   uint64_t now);
// Cuts or extends (with zeros) the file to `size`.
FatResult FatSetSize(FatVolume* volume, std::u16string_view path, uint32_t size, uint64_t now);
FatResult FatDeleteFile(FatVolume* volume, std::u16string_view path);

FatResult FatMakeDirectory(FatVolume* volume, std::u16string_view path, uint64_t now);
FatResult FatRemoveDirectory(FatVolume* volume, std::u16string_view path);

// Renames or moves a file or folder within the volume; the entry keeps its
// data, attributes and times. A new name that differs only in case renames in
// place.
FatResult FatRename(FatVolume* volume, std::u16string_view from, std::u16string_view to);

// Only kFatSettableAttributes are taken; the directory bit stays as it is.
FatResult FatSetAttributes(FatVolume* volume, std::u16string_view path, uint8_t attributes);
// Null leaves that time as it is.
FatResult FatSetTimes(FatVolume* volume, std::u16string_view path, const uint64_t* created, const uint64_t* accessed,
                      const uint64_t* written);

struct FatSpace {
  uint64_t totalBytes = 0;  // all data clusters
  uint64_t freeBytes = 0;
  uint32_t clusterBytes = 0;
};
// Counts the free clusters in the FAT (the FSInfo count is only a hint).
FatResult FatGetSpace(FatVolume* volume, FatSpace* space);

// A device in memory, zero-filled.
struct FatMemoryDevice {
  uint32_t sectorBytes = 0;
  std::vector<uint8_t> bytes;
};
void FatMemoryDeviceInit(FatMemoryDevice* memory, uint32_t sectorBytes, uint32_t sectorCount);
FatDevice FatMemoryDeviceAccess(FatMemoryDevice* memory);

// A device over a host image file.
struct FatImageFile {
  int fd = -1;
  uint32_t sectorBytes = 0;
  uint32_t sectorCount = 0;
};
// Opens an existing image; its size in whole sectors is the device's.
bool FatImageFileOpen(const std::string& path, uint32_t sectorBytes, FatImageFile* file, std::string* error);
// Creates (or replaces) a zero-filled image of `sectorCount` sectors.
bool FatImageFileCreate(const std::string& path, uint32_t sectorBytes, uint32_t sectorCount, FatImageFile* file,
                        std::string* error);
void FatImageFileClose(FatImageFile* file);
FatDevice FatImageFileAccess(FatImageFile* file);
