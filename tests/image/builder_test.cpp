// The image builder's files read back by its own inspection and by the
// program's stream header layout, and its damaged variants.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "module/bin_image_builder.h"
#include "storage/fs_stream_header.h"
#include "tests/image/image_fixture.h"

namespace {

std::vector<uint8_t> Build(const BinImageSpec& spec) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageBuild(spec, &bytes, &error)) << error;
  return bytes;
}

BinImageSpec Full() {
  BinImageSpec spec;
  spec.bin.imageStart = 0x80200000;
  spec.bin.records = BinRecordsFromBlob(0x80200000, Pattern(0x2345, 1), 0x1000);
  spec.bin.records.push_back({0x80204000, Pattern(6, 2)});
  spec.streams.push_back(SectorStream(4));
  spec.hasCpld = true;
  spec.cpld.mode = 3;
  spec.cpld.data = Pattern(94, 3);
  return spec;
}

TEST(BuilderTest, AFullFileReadsBackPartByPart) {
  std::vector<uint8_t> bytes = Build(Full());
  BinImageSeen seen = BinImageInspect(bytes);
  ASSERT_TRUE(seen.hasBinPart);
  EXPECT_EQ(seen.imageStart, 0x80200000u);
  EXPECT_EQ(seen.imageLength, 0x4006u) << "up to the end of the highest record";
  ASSERT_EQ(seen.records.size(), 4u);
  EXPECT_EQ(seen.records[2].address, 0x80202000u);
  EXPECT_EQ(seen.records[2].length, 0x345u);
  for (const BinRecordSeen& r : seen.records) EXPECT_TRUE(r.checksumOk);
  EXPECT_TRUE(seen.endRecord);
  EXPECT_EQ(seen.entryPoint, kBinEntryPoint);
  ASSERT_EQ(seen.streams.size(), 1u);
  EXPECT_TRUE(seen.streams[0].headerChecksumOk);
  EXPECT_EQ(seen.streams[0].chunks, 1u);
  EXPECT_EQ(seen.streams[0].badChunks, 0u);
  ASSERT_TRUE(seen.hasCpld);
  EXPECT_EQ(seen.cpld.mode, 3u);
  EXPECT_EQ(seen.cpld.dataLength, 96u) << "padded to whole words";
  EXPECT_TRUE(seen.cpld.checksumOk);
  EXPECT_EQ(seen.trailingBytes, 0u);
}

TEST(BuilderTest, TheStreamHeaderHasTheProgramsLayout) {
  FsStreamSpec spec;
  spec.memBase = 0x1480000;
  spec.memLen = 0xB80000;
  spec.blockSize = 0x40000;
  spec.flags = 1;
  spec.chunks.push_back({9, Pattern(1024, 4)});
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(FsStreamBuild(spec, &bytes, &error)) << error;
  ASSERT_EQ(bytes.size(), sizeof(FsStreamHeader) + 12 + 1024);
  FsStreamHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  EXPECT_EQ(header.magic, FS_STREAM_MAGIC);
  EXPECT_EQ(header.version, FS_STREAM_VERSION);
  EXPECT_EQ(header.headerSize, FS_STREAM_HEADER_BYTES);
  EXPECT_EQ(header.type, FS_STREAM_SECTORS);
  EXPECT_EQ(header.memBase, 0x1480000u);
  EXPECT_EQ(header.memLen, 0xB80000u);
  EXPECT_EQ(header.dataLength, 12u + 1024);
  EXPECT_EQ(header.sectorSize, 512u);
  EXPECT_EQ(header.blockSize, 0x40000u);
  EXPECT_EQ(header.flags, 1u);
  EXPECT_EQ(FsStreamStoreInfo(header).dwBytesPerSector, 512u);
  uint32_t sum = 0;
  ASSERT_TRUE(BinFletcherSum(std::span<const uint8_t>(bytes).first(FS_STREAM_HEADER_CHECKED_BYTES), &sum));
  EXPECT_EQ(header.checksum, sum);
  FsChunkHeader chunk;
  std::memcpy(&chunk, bytes.data() + sizeof header, sizeof chunk);
  EXPECT_EQ(chunk.tag, 9u);
  EXPECT_EQ(chunk.length, 1024u);
}

TEST(BuilderTest, DamagedVariantsShowInTheInspection) {
  BinImageSpec spec = Full();
  spec.bin.records[1].checksumDelta = 1;
  spec.cpld.checksumOff = true;
  FsStreamSpec stream;
  stream.chunks.push_back({0, Pattern(512, 1)});
  stream.chunks.push_back({1, Pattern(512, 2)});
  stream.chunkChecksumOff = 1;
  stream.headerChecksumOff = true;
  std::string error;
  ASSERT_TRUE(FsStreamBuild(stream, &spec.streams[0], &error));
  BinImageSeen seen = BinImageInspect(Build(spec));
  EXPECT_TRUE(seen.records[0].checksumOk);
  EXPECT_FALSE(seen.records[1].checksumOk);
  EXPECT_FALSE(seen.streams[0].headerChecksumOk);
  EXPECT_EQ(seen.streams[0].badChunks, 1u);
  EXPECT_FALSE(seen.cpld.checksumOk);

  spec = Full();
  spec.truncateBytes = 3;
  seen = BinImageInspect(Build(spec));
  EXPECT_TRUE(seen.hasCpld);
  EXPECT_FALSE(seen.cpld.complete);

  spec = Full();
  spec.hasCpld = false;
  spec.streams.clear();
  spec.truncateBytes = 12 + 5;  // the end record and 5 bytes of the last record
  seen = BinImageInspect(Build(spec));
  EXPECT_FALSE(seen.endRecord);
  EXPECT_FALSE(seen.records.back().complete);
  EXPECT_FALSE(seen.records.back().checksumOk);
}

TEST(BuilderTest, RefusesWhatTheProgramWouldMisread) {
  std::vector<uint8_t> bytes;
  std::string error;
  BinImageSpec outside;
  outside.bin.imageStart = 0x1000;
  outside.bin.imageLength = 0x10;
  outside.bin.records.push_back({0x1008, Pattern(0x10, 1)});
  EXPECT_FALSE(BinImageBuild(outside, &bytes, &error));
  EXPECT_NE(error.find("outside the image range"), std::string::npos);
  outside.bin.allowRecordsOutside = true;
  EXPECT_TRUE(BinImageBuild(outside, &bytes, &error));

  BinImageSpec endLike;
  endLike.bin.records.push_back({0, std::vector<uint8_t>(8, 0)});
  EXPECT_FALSE(BinImageBuild(endLike, &bytes, &error)) << "a record at 0 summing to 0 reads as the end";

  FsStreamSpec ragged;
  ragged.chunks.push_back({0, Pattern(6, 1)});
  EXPECT_FALSE(FsStreamBuild(ragged, &bytes, &error));
}

TEST(BuilderTest, InspectionNeverReadsPastTheFile) {
  std::vector<uint8_t> whole = Build(Full());
  for (size_t cut = 0; cut <= whole.size(); cut++) {
    std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(cut));
    BinImageSeen seen = BinImageInspect(part);  // ASan guards the reads
    EXPECT_EQ(seen.fileBytes, cut);
  }
}

}  // namespace
