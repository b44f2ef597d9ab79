// Image files as the update program reads them, built from raw bytes: a BIN
// part (signature, image start and length, records with address, length and
// byte sum, the end record with the entry point), file-system streams and a
// CPLD section, with deliberately damaged variants for tests. Used by the
// fwimage tool, the factory's sample images and the tests; it knows the
// container only from the outside and shares no code with the program.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// --- The container's layout, little-endian throughout.
constexpr char kBinSignature[] = "B000FF\n";
constexpr uint32_t kBinSignatureBytes = 7;
constexpr uint32_t kBinHeaderBytes = 15;        // signature, image start, image length
constexpr uint32_t kBinRecordHeaderBytes = 12;  // address, length, byte sum
constexpr uint32_t kBinEntryPoint = 0xBCA01000; // what the end record carries unless told otherwise

constexpr uint32_t kFsStreamMagic = 0x54585348;     // "HSXT"
constexpr uint32_t kFsStreamOldMagic = 0x46465348;  // "HSFF", a format the program refuses
constexpr uint32_t kFsStreamVersion = 1;
constexpr uint32_t kFsStreamHeaderBytes = 348;
constexpr uint32_t kFsChunkHeaderBytes = 12;        // tag, length, Fletcher sum
constexpr uint32_t kFsStreamSectors = 3;            // stream of sector runs
constexpr uint32_t kFsStreamFiles = 2;              // stream of partitions and files
constexpr uint32_t kFsStreamUnknown = 0xFFFFFFFF;   // a geometry value not known

constexpr uint32_t kCpldSectionMagic = 0x54584358;  // "XCXT"
constexpr uint32_t kCpldSectionHeaderBytes = 24;
constexpr uint32_t kCpldModeMax = 3;

// --- Where a BIN image lands: the platform's address conventions.
constexpr uint32_t kBinFlashOffsetLimit = 0x4C000000;  // below: flash offsets already
constexpr uint32_t kBinBootWindowFirst = 0xBCA00000;   // lands at flash offset 0
constexpr uint32_t kBinBootWindowLast = 0xBFFFFFFE;
constexpr uint32_t kBinCachedWindowFirst = 0x80000000;  // these two land at the OS base
constexpr uint32_t kBinCachedWindowLast = 0x9C9FFFFF;
constexpr uint32_t kBinUncachedWindowFirst = 0xA0000000;
constexpr uint32_t kBinUncachedWindowLast = 0xBC9FFFFF;

// The shift that turns the image's addresses into flash offsets on a board
// whose OS image starts at `osBase`; false for an image start nothing accepts.
bool BinAddressShiftFor(uint32_t imageStart, uint32_t osBase, uint32_t* shift);

// --- Checksums.
// Sum of the bytes as unsigned 8-bit values, modulo 2^32.
uint32_t BinByteSum(std::span<const uint8_t> data);
// Fletcher sum over 16-bit words folded every 360 bytes; false when the
// data is not in whole 32-bit words.
bool BinFletcherSum(std::span<const uint8_t> data, uint32_t* sum);

// --- What to build.
struct BinRecord {
  uint32_t address = 0;
  std::vector<uint8_t> data;
  uint32_t checksumDelta = 0;  // damage: added to the checksum word
};

struct BinPartSpec {
  uint32_t imageStart = 0;
  uint32_t imageLength = 0;  // 0: from the image start to the end of the highest record
  std::vector<BinRecord> records;
  uint32_t entryPoint = kBinEntryPoint;
  bool allowRecordsOutside = false;  // damage: records may leave the image range
};

struct FsStreamChunk {
  uint32_t tag = 0;  // first sector of a run, or memBase for the files chunk
  std::vector<uint8_t> data;
};

struct FsStreamSpec {
  uint32_t magic = kFsStreamMagic;
  uint32_t version = kFsStreamVersion;
  uint32_t headerBytes = kFsStreamHeaderBytes;  // larger: zero bytes before the checksum
  uint32_t type = kFsStreamSectors;
  uint32_t memBase = kFsStreamUnknown;
  uint32_t memLen = kFsStreamUnknown;
  uint32_t sectorSize = 512;
  uint32_t blockSize = kFsStreamUnknown;
  uint32_t flags = 0;
  std::u16string folder;  // the storage profile's volume folder ("Hard Disk"); at most 31 units
  // The store at backup, as its information record inside the header says.
  uint64_t storeSectors = 0;
  uint32_t storePartitions = 0;
  std::vector<FsStreamChunk> chunks;
  bool headerChecksumOff = false;  // damage
  int chunkChecksumOff = -1;       // damage: index of a chunk whose sum is off by one
  int64_t dataLengthDelta = 0;     // damage: added to the data length field
};

// A file-level stream's content: per partition its record, then a record
// per folder and file (folders before what they hold), each file's bytes
// behind its record. Paths are full module paths starting with the volume.
struct FsFileEntry {
  std::u16string path;
  uint32_t attributes = 0x20;  // 0x10 makes a folder
  uint64_t created = 0, accessed = 0, written = 0;  // file times
  std::vector<uint8_t> data;
};
struct FsPartitionEntry {
  std::u16string name = u"Part00";
  std::u16string volume = u"\\Hard Disk";
  uint64_t sectors = ~uint64_t{0};  // all ones: what the store has left
  uint32_t attributes = 0;
  uint8_t type = 0x0B;
  uint32_t usedBytes = 0;
  std::vector<FsFileEntry> files;
};
// The data of the stream's one chunk (whose header is the files preamble),
// padded with zero bytes to whole words; false for a name or path that does
// not fit its field.
bool FsFilesChunkBuild(const std::vector<FsPartitionEntry>& partitions, std::vector<uint8_t>* chunk,
                       std::string* error);

struct CpldSectionSpec {
  uint32_t mode = 1;
  uint32_t headerBytes = kCpldSectionHeaderBytes;  // larger: the checksum is the last word
  std::vector<uint8_t> data;                       // padded with zero bytes to whole words
  // The header's word at 16: the data's own length before padding, so a
  // reader can tell padding from a stream cut short. Given: what another
  // builder left there.
  std::optional<uint32_t> recordedLength = std::nullopt;
  bool checksumOff = false;                        // damage
  bool unpadded = false;                           // damage: the data as it is, in no whole words
};

struct BinImageSpec {
  bool hasBinPart = true;
  BinPartSpec bin;
  std::vector<std::vector<uint8_t>> streams;  // raw stream bytes, appended in order
  bool hasCpld = false;
  CpldSectionSpec cpld;
  uint32_t truncateBytes = 0;  // damage: bytes cut from the end of the file
};

// The file's bytes; false with the reason when `spec` makes no file (a
// record outside the image range unless allowed, a record that would read as
// the end record). Modes and header sizes are written as given, so damaged
// sections can be made.
bool BinImageBuild(const BinImageSpec& spec, std::vector<uint8_t>* file, std::string* error);

// A file-system stream with its header and chunk sums; false for a chunk
// that is not in whole 32-bit words.
bool FsStreamBuild(const FsStreamSpec& spec, std::vector<uint8_t>* stream, std::string* error);

// An image of one record holding `data`, linked at `start`.
BinImageSpec BinSingleRecordImage(uint32_t start, std::vector<uint8_t> data);

// A blob at `address` as records of at most `recordBytes`, as image tools
// write them.
std::vector<BinRecord> BinRecordsFromBlob(uint32_t address, std::span<const uint8_t> blob, uint32_t recordBytes);

// --- Reading image files back, for inspection.

struct BinRecordSeen {
  uint64_t fileOffset = 0;  // of the record header
  uint32_t address = 0;
  uint32_t length = 0;
  uint32_t checksum = 0;
  bool complete = false;   // all its data is in the file
  bool checksumOk = false;
};

struct FsStreamSeen {
  uint64_t fileOffset = 0;
  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t headerBytes = 0;
  uint32_t type = 0;
  uint32_t memBase = 0;
  uint32_t memLen = 0;
  uint32_t dataLength = 0;
  bool headerChecksumOk = false;
  uint32_t chunks = 0;
  uint32_t badChunks = 0;  // chunk sums that do not match
  bool chunksFit = false;  // the chunks fill the data area exactly, inside the file
};

struct CpldSectionSeen {
  uint64_t fileOffset = 0;
  uint32_t mode = 0;
  uint32_t headerBytes = 0;
  uint32_t dataLength = 0;
  uint32_t recordedLength = 0;  // the word at 16
  bool complete = false;
  bool checksumOk = false;
};

struct BinImageSeen {
  uint64_t fileBytes = 0;
  bool hasBinPart = false;
  uint32_t imageStart = 0;
  uint32_t imageLength = 0;
  std::vector<BinRecordSeen> records;
  bool endRecord = false;  // the BIN part ends properly
  uint32_t entryPoint = 0;
  std::vector<FsStreamSeen> streams;
  bool hasCpld = false;
  CpldSectionSeen cpld;
  uint64_t trailingBytes = 0;  // after everything recognised
};

// Walks a file's parts as far as they go; never reads outside `file`.
BinImageSeen BinImageInspect(std::span<const uint8_t> file);

// Host file helpers for the tools and the factory.
bool BinImageWriteFile(const std::string& path, std::span<const uint8_t> bytes, std::string* error);
bool BinImageReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// Where a module keeps image files for its users: "\USB HD\IMAGES".
constexpr char kModuleImagesFolder[] = "USB HD/IMAGES";
constexpr char16_t kModuleImagesPath[] = u"\\USB HD\\IMAGES\\";
// Stores `bytes` as `fileName` in that folder of the module at `moduleDir`.
bool BinImageStore(const std::string& moduleDir, const std::string& fileName, std::span<const uint8_t> bytes,
                   std::string* error);

// Bytes that look like data, different for every seed and offset: record
// contents for tests and samples.
std::vector<uint8_t> BinFillerBytes(size_t bytes, uint32_t seed);
