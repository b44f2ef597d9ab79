// File-system streams written by backups of the factory module: read back
// independently, compared with the flash disk's own view of its sectors, and
// validated by the program's image reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/checksum.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "fwlib/work_buffer.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "storage/flash_disk_driver.h"
#include "storage/fs_stream_header.h"
#include "storage/store_access.h"
#include "tests/support/store_sectors.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kRunSectorsFullBuffer = 0x200000 / kSectorBytes;

using Chunk = SectorRun;

struct Stream {
  FsStreamHeader header;
  std::vector<Chunk> chunks;
  size_t end;
};

// The last section started and the bytes reported in it.
struct Progress {
  std::pair<uint32_t, uint32_t> section;
  uint32_t sectionBytes = 0;
};
Progress g_progress;

int OnSection(uint32_t address, uint32_t length, uint32_t) {
  g_progress.section = {address, length};
  return 1;
}

int OnBytes(uint32_t section, uint32_t) {
  g_progress.sectionBytes = section;
  return 1;
}

void ResetLayers() {
  FWLResetForTests();
  UpdateResetForTests();
  ChecksumResetForTests();
  FlashDiskDriverResetForTests();
  StoreAccessResetForTests();
  FlashLayerResetForTests();
  NorResetForTests();
  HardwareReset();
  g_progress = Progress{};
}

uint32_t Backup(uint32_t mask) { return FWLBackupToFile(u"\\backup.bin", mask, nullptr, OnSection, OnBytes); }

FlashRegion& FileSystemEntry() {
  size_t i = 0;
  while (i + 1 < REGION_COUNT && (RegionTable()[i].id & REGION_FILE_SYSTEM) == 0) i++;
  return RegionTable()[i];
}

// A stream read without the library: the header as stored and each chunk.
bool ParseStream(const std::vector<uint8_t>& bytes, size_t at, Stream* stream) {
  if (bytes.size() < at + FS_STREAM_HEADER_BYTES) return false;
  std::memcpy(&stream->header, &bytes[at], FS_STREAM_HEADER_BYTES);
  size_t pos = at + FS_STREAM_HEADER_BYTES;
  size_t end = pos + stream->header.dataLength;
  if (end > bytes.size()) return false;
  while (pos < end) {
    FsChunkHeader chunk;
    if (end - pos < FS_CHUNK_HEADER_BYTES) return false;
    std::memcpy(&chunk, &bytes[pos], FS_CHUNK_HEADER_BYTES);
    pos += FS_CHUNK_HEADER_BYTES;
    if (chunk.length % kSectorBytes != 0 || chunk.length > end - pos) return false;
    auto from = bytes.begin() + static_cast<long>(pos);
    stream->chunks.push_back({chunk.tag, chunk.length / kSectorBytes, {from, from + chunk.length}});
    pos += chunk.length;
  }
  stream->end = end;
  return true;
}

std::vector<SectorRun> StoreRuns(uint32_t runMax) { return StoreSectorRuns(FwlState()->storeDeviceName, runMax); }

class FsBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLayers();
    dir_ = AttachTempModule();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(FWLInit(), FWL_OK);
    ASSERT_NE(FwlState()->storeDeviceName[0], 0);
    ASSERT_NE(FileSystemEntry().id & REGION_FILE_SYSTEM, 0u);
  }
  void TearDown() override {
    ResetLayers();
    PlatformDetachModule();
  }

  std::vector<uint8_t> BackupBytes() {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(BinImageReadFile(ModuleRootPath(dir_) + "/backup.bin", &bytes, &error)) << error;
    return bytes;
  }

  // Validates the backup with the program's reader; the offset where its
  // stream starts.
  size_t ValidatedStreamAt() {
    EXPECT_EQ(FWLSetBinFile(u"\\backup.bin", nullptr, nullptr, 1), FWL_OK);
    EXPECT_NE(FwlState()->image.contents & IMAGE_CONTENT_FS_STREAM, 0u);
    size_t at = FwlState()->image.binPartEnd;
    FWLCloseFile();
    // The reader keeps its buffer; the next backup must get a fresh one.
    WorkBufferFree();
    return at;
  }

  // The stream must hold exactly the store's mapped sectors, as runs.
  void ExpectStreamMatchesStore(const std::vector<uint8_t>& file, size_t at, uint32_t runMax) {
    Stream stream;
    ASSERT_TRUE(ParseStream(file, at, &stream));
    EXPECT_EQ(stream.end, file.size());
    const FsStreamHeader& h = stream.header;
    EXPECT_EQ(h.type, FS_STREAM_SECTORS);
    EXPECT_EQ(h.sectorSize, kSectorBytes);
    EXPECT_EQ(h.memBase, FileSystemEntry().base);
    STOREINFO info = FsStreamStoreInfo(h);
    EXPECT_EQ(info.dwBytesPerSector, kSectorBytes);
    EXPECT_EQ(std::u16string(info.szDeviceName), std::u16string(FwlState()->storeDeviceName));

    std::vector<Chunk> runs = StoreRuns(runMax);
    ASSERT_EQ(stream.chunks.size(), runs.size());
    for (size_t i = 0; i < runs.size(); i++) {
      SCOPED_TRACE(testing::Message() << "run at sector " << runs[i].first);
      EXPECT_EQ(stream.chunks[i].first, runs[i].first);
      EXPECT_EQ(stream.chunks[i].sectors, runs[i].sectors);
      EXPECT_TRUE(stream.chunks[i].data == runs[i].data);
    }
  }

  std::string dir_;
};

TEST_F(FsBackupTest, WholeModuleBackupEndsWithAValidStreamOfTheMappedSectors) {
  FlashRegion fs = FileSystemEntry();
  ASSERT_GT(fs.used, 0u);
  ASSERT_EQ(Backup(REGION_ALL), FWL_OK);
  std::vector<uint8_t> file = BackupBytes();
  size_t at = ValidatedStreamAt();
  ASSERT_GT(at, 0u);
  ExpectStreamMatchesStore(file, at, kRunSectorsFullBuffer);
  EXPECT_EQ(g_progress.section, std::make_pair(fs.base, fs.used));
  EXPECT_EQ(g_progress.sectionBytes, fs.used);
}

TEST_F(FsBackupTest, LongRunIsCutAtTwoMegabytesOnlyWhenTheBufferHoldsThem) {
  constexpr uint32_t kFirst = 12000;  // past the factory data
  constexpr uint32_t kSectors = 5000;
  HANDLE store = OpenStore(FwlState()->storeDeviceName);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> data(size_t{kSectors} * kSectorBytes);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + i / kSectorBytes);
  SG_REQ write = {};
  write.sr_start = kFirst;
  write.sr_num_sec = kSectors;
  write.sr_num_sg = 1;
  write.sr_sglist[0] = {data.data(), static_cast<DWORD>(data.size())};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_WRITE, &write, sizeof write, nullptr, 0, &returned, nullptr));
  CloseHandle(store);
  // Written after the region scan counted the sectors: found all the same.

  ASSERT_EQ(Backup(REGION_FILE_SYSTEM), FWL_OK);
  ExpectStreamMatchesStore(BackupBytes(), ValidatedStreamAt(), kRunSectorsFullBuffer);
  Stream stream;
  ASSERT_TRUE(ParseStream(BackupBytes(), 0, &stream));
  auto run = std::find_if(stream.chunks.begin(), stream.chunks.end(), [](const Chunk& c) { return c.first == kFirst; });
  ASSERT_NE(run, stream.chunks.end());
  EXPECT_EQ(run->sectors, kRunSectorsFullBuffer);
  ASSERT_NE(run + 1, stream.chunks.end());
  EXPECT_EQ((run + 1)->first, kFirst + kRunSectorsFullBuffer);
  EXPECT_EQ((run + 1)->sectors, kSectors - kRunSectorsFullBuffer);

  // Half the buffer: the run is read in pieces but stays one chunk. A
  // File System alone is the whole file.
  WorkBufferLimitForTests(0x100000);
  ASSERT_EQ(Backup(REGION_FILE_SYSTEM), FWL_OK);
  WorkBufferLimitForTests(WORK_BUFFER_NO_LIMIT);
  ExpectStreamMatchesStore(BackupBytes(), ValidatedStreamAt(), UINT32_MAX);
}

// The flash disk keeps writing after the region scan counted its sectors;
// the backup saves what the store holds when it runs.
TEST_F(FsBackupTest, AStaleSectorCountChangesNothingInTheStream) {
  for (uint32_t stale : {FileSystemEntry().used + kSectorBytes, 0u}) {
    FileSystemEntry().used = stale;
    ASSERT_EQ(Backup(REGION_FILE_SYSTEM), FWL_OK);
    EXPECT_EQ(ValidatedStreamAt(), 0u);
    ExpectStreamMatchesStore(BackupBytes(), 0, kRunSectorsFullBuffer);
  }
}

}  // namespace
