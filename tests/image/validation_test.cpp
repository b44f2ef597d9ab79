// FWLSetBinFile's refusals, one named case per way a file can be wrong, and
// what it leaves behind after a refusal: no open file, no work buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "tests/image/image_fixture.h"
#include "tests/support/xsvf_writer.h"

namespace {

constexpr uint32_t kOsLinked = 0x80000000;  // lands at the OS base
constexpr uint32_t kFlashBytes = 0x2000000;

struct Refusal {
  const char* name;
  std::function<BinImageSpec()> build;
  uint32_t expected;          // with verify
  uint32_t expectedUnverified;  // without verify
  uint32_t workBufferLimit = WORK_BUFFER_NO_LIMIT;
};

BinImageSpec Truncated(BinImageSpec spec, uint32_t bytes) {
  spec.truncateBytes = bytes;
  return spec;
}

BinImageSpec StreamOnly(const FsStreamSpec& stream) {
  BinImageSpec spec;
  spec.hasBinPart = false;
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(FsStreamBuild(stream, &bytes, &error)) << error;
  spec.streams.push_back(bytes);
  return spec;
}

FsStreamSpec OneChunkStream() {
  FsStreamSpec s;
  s.chunks.push_back({0, Pattern(1024, 5)});
  return s;
}

BinImageSpec WithCpld(const CpldSectionSpec& cpld, uint32_t truncate = 0) {
  BinImageSpec spec = OneRecordImage(kOsLinked, 64);
  spec.hasCpld = true;
  spec.cpld = cpld;
  spec.truncateBytes = truncate;
  return spec;
}

const Refusal kRefusals[] = {
    {"image start at the first refused address", [] { return OneRecordImage(0x4C000000, 16); }, 6, 6},
    {"image start between the OS windows", [] { return OneRecordImage(0x9CA00000, 16); }, 6, 6},
    {"image start past the boot window", [] { return OneRecordImage(0xBFFFFFFF, 0); }, 6, 6},
    {"record data one byte short at the end of the file",
     [] { return Truncated(OneRecordImage(kOsLinked, 100), 12 + 1); }, 6, 6},
    {"end record cut short", [] { return Truncated(OneRecordImage(kOsLinked, 100), 5); }, 6, 6},
    {"no end record", [] { return Truncated(OneRecordImage(kOsLinked, 100), 12); }, 6, 6},
    {"record reaching past the image range",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked, 100);
       spec.bin.imageLength = 99;
       spec.bin.allowRecordsOutside = true;
       return spec;
     },
     6, 6},
    {"record before the image start",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked + 0x100, 100);
       spec.bin.records.push_back({kOsLinked + 0xFC, Pattern(4, 2)});
       spec.bin.allowRecordsOutside = true;
       return spec;
     },
     6, 6},
    {"image range running past the end of the flash",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked, 16);
       spec.bin.imageLength = kFlashBytes;  // from the OS base on
       return spec;
     },
     6, 6},
    {"image wholly beyond the flash", [] { return OneRecordImage(kFlashBytes, 16); }, 6, 6},
    {"record overlapping the one before",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked, 100);
       spec.bin.records.push_back({kOsLinked + 96, Pattern(8, 2)});
       return spec;
     },
     6, 6},
    {"record out of order overlapping an earlier one",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked + 0x100, 0x100);
       spec.bin.imageStart = kOsLinked;
       spec.bin.records.push_back({kOsLinked, Pattern(0x80, 2)});
       spec.bin.records.push_back({kOsLinked + 0x180, Pattern(0x10, 3)});
       return spec;
     },
     6, 6},
    {"record checksum off by one",
     [] {
       BinImageSpec spec = OneRecordImage(kOsLinked, 100);
       spec.bin.records.push_back({kOsLinked + 100, Pattern(50, 2), 1});
       return spec;
     },
     17, 0},
    {"stream of the older format",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.magic = 0x46465348;
       return StreamOnly(s);
     },
     7, 7},
    {"stream of another version",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.version = 2;
       return StreamOnly(s);
     },
     7, 7},
    {"stream header shorter than its fixed part",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.headerBytes = 344;
       return StreamOnly(s);
     },
     6, 6},
    {"stream header not in whole words",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.headerBytes = 350;
       return StreamOnly(s);
     },
     6, 6},
    {"stream header larger than the work buffer",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.headerBytes = 4096;
       return StreamOnly(s);
     },
     6, 6, 2048},
    {"longer stream header cut short", [] {
       FsStreamSpec s;
       s.headerBytes = 1024;
       return Truncated(StreamOnly(s), 100);
     },
     6, 6},
    {"stream header checksum off",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.headerChecksumOff = true;
       return StreamOnly(s);
     },
     17, 0},
    {"chunk checksum off",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.chunks.push_back({2, Pattern(512, 6)});
       s.chunkChecksumOff = 1;
       return StreamOnly(s);
     },
     17, 0},
    {"chunk cut short at the end of the file", [] { return Truncated(StreamOnly(OneChunkStream()), 1); }, 6, 6},
    {"chunk running past the stream's data length",
     [] {
       FsStreamSpec s = OneChunkStream();
       s.dataLengthDelta = -4;
       return StreamOnly(s);
     },
     6, 6},  // the stream is judged against the store also unverified
    {"CPLD mode above 3", [] { return WithCpld({.mode = 4, .data = Pattern(40, 7)}); }, 7, 7},
    {"CPLD header shorter than its fixed part", [] { return WithCpld({.headerBytes = 20, .data = Pattern(40, 7)}); },
     6, 6},
    {"longer CPLD header cut short", [] { return WithCpld({.headerBytes = 64, .data = {}}, 10); }, 6, 6},
    {"CPLD data cut short", [] { return WithCpld({.data = Pattern(40, 7)}, 1); }, 6, 6},
    {"CPLD data longer than any work buffer",
     [] { return WithCpld({.data = Pattern(WORK_BUFFER_BYTES + 4, 7)}); }, 6, 6},
    {"CPLD data not in whole words", [] { return WithCpld({.data = Pattern(94, 7), .unpadded = true}); }, 6, 6},
    {"CPLD checksum off", [] { return WithCpld({.data = Pattern(40, 7), .checksumOff = true}); }, 17, 0},
    {"CPLD longer header with its checksum off",
     [] { return WithCpld({.headerBytes = 40, .data = Pattern(40, 7), .checksumOff = true}); }, 17, 0},
    {"CPLD data larger than the work buffer", [] { return WithCpld({.data = Pattern(8192, 7)}); }, 9, 0, 4096},
    {"no work buffer at all", [] { return OneRecordImage(kOsLinked, 100); }, 9, 0, 0},
};

class RefusalTest : public ImageTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, IsRefusedAndLeavesNothingOpen) {
  const Refusal& c = GetParam();
  Attach();
  std::u16string path = Place(c.build());
  for (int verify : {1, 0}) {
    SCOPED_TRACE(verify ? "verified" : "unverified");
    WorkBufferLimitForTests(c.workBufferLimit);
    RegionSummary summary = {0x1234, 0x1234, 0x1234, 0x1234};
    uint32_t expected = verify ? c.expected : c.expectedUnverified;
    EXPECT_EQ(Validate(path, &summary, verify), expected);
    if (expected != FWL_OK) {
      EXPECT_EQ(FwlState()->imageFile, INVALID_HANDLE_VALUE);
      EXPECT_FALSE(WorkBufferHeld());
      EXPECT_EQ(summary.flags, 0x1234u) << "the summary is filled only on success";
      EXPECT_FALSE(FwlState()->image.refuseUpdate);
      EXPECT_EQ(FwlState()->image.contents, 0u);
    } else {
      EXPECT_NE(FwlState()->imageFile, INVALID_HANDLE_VALUE);
    }
    FWLCloseFile();
    WorkBufferFree();
  }
}

INSTANTIATE_TEST_SUITE_P(Files, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != 0; c++) name += isalnum(*c) ? *c : '_';
                           return name;
                         });

class ValidationTest : public ImageTest {};

TEST_F(ValidationTest, MissingFileAndLibraryNotStarted) {
  Attach();
  EXPECT_EQ(Validate(u"\\USB HD\\IMAGES\\none.bin"), FWL_ERR_OPEN_FILE);
  std::u16string path = Place(OneRecordImage(kOsLinked, 16));
  ResetImageLayers();
  EXPECT_EQ(Validate(path), FWL_ERR_NOT_INITIALISED);
}

TEST_F(ValidationTest, AFileHeldOpenElsewhereCannotBeOpened) {
  Attach();
  std::u16string path = Place(OneRecordImage(kOsLinked, 16));
  ASSERT_EQ(Validate(path), FWL_OK);
  HANDLE first = FwlState()->imageFile;
  FwlState()->imageFile = INVALID_HANDLE_VALUE;  // as if another flow still held it
  EXPECT_EQ(Validate(path), FWL_ERR_OPEN_FILE) << "opened without sharing";
  FwlState()->imageFile = first;
  EXPECT_EQ(FWLCloseFile(), FWL_OK);
}

int g_stopAt = 0;
int g_calls = 0;
int StopAtCall(uint32_t, uint32_t) { return ++g_calls == g_stopAt ? 0 : 1; }

TEST_F(ValidationTest, AStopAskedAtAnyReportEndsWithUserAbort) {
  Attach();
  BinImageSpec spec = OneRecordImage(kOsLinked, 5000);
  spec.streams.push_back(SectorStream(4));
  spec.hasCpld = true;
  spec.cpld.data = XsvfVendorFile("xc2c64a-idcode.xsvf");
  std::u16string path = Place(spec);
  g_stopAt = 0;
  g_calls = 0;
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, StopAtCall, 1), FWL_OK);
  int reports = g_calls;
  ASSERT_GE(reports, 6);
  for (g_stopAt = 1; g_stopAt <= reports; g_stopAt++) {
    SCOPED_TRACE(g_stopAt);
    g_calls = 0;
    EXPECT_EQ(FWLSetBinFile(path.c_str(), nullptr, StopAtCall, 1), FWL_ERR_USER_ABORT);
    EXPECT_EQ(FwlState()->imageFile, INVALID_HANDLE_VALUE);
  }
}

std::vector<std::pair<uint32_t, uint32_t>> g_reports;
int Record(uint32_t position, uint32_t size) {
  g_reports.emplace_back(position, size);
  return 1;
}

TEST_F(ValidationTest, ProgressWalksTheFileToItsEnd) {
  Attach();
  BinImageSpec spec = OneRecordImage(kOsLinked, 3 * 0x200000 + 17);  // pieces of the 2 MB work buffer
  spec.streams.push_back(SectorStream(8));
  spec.hasCpld = true;
  spec.cpld.data = XsvfVendorFile("xc2c64a-erase.xsvf");
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(BinImageBuild(spec, &bytes, &error));
  std::u16string path = PlaceBytes(bytes);
  g_reports.clear();
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, Record, 1), FWL_OK);
  uint32_t size = static_cast<uint32_t>(bytes.size());
  ASSERT_FALSE(g_reports.empty());
  EXPECT_EQ(g_reports.front(), std::make_pair(0u, size));
  EXPECT_EQ(g_reports.back(), std::make_pair(size, 0u)) << "the CPLD section reports its position alone";
  for (size_t i = 1; i < g_reports.size(); i++) EXPECT_GE(g_reports[i].first, g_reports[i - 1].first);
  EXPECT_TRUE(std::count(g_reports.begin(), g_reports.end(), std::make_pair(15u, size)) == 1) << "after the header";
  EXPECT_EQ(FwlState()->image.binPartEnd, 15u + 12 + 3 * 0x200000 + 17 + 12);
}

// The file is summed through views of 2 MB: a stream chunk that starts off
// a word boundary and runs past the end of the first view must be summed
// whole, in whole words, and damage past the view's end still found.
TEST_F(ValidationTest, ChunkDataAcrossTheEndOfAViewIsSummedWhole) {
  Attach();
  constexpr uint32_t kView = 0x200000;
  constexpr uint32_t kChunkStart = kView - 201;  // three bytes past a word boundary
  constexpr uint32_t kBeforeChunk = 15 + 12 + 12 + 348 + 12;  // headers and end record around the record's data
  BinImageSpec spec = OneRecordImage(kOsLinked, kChunkStart - kBeforeChunk);
  FsStreamSpec stream;
  stream.chunks.push_back({0, Pattern(1024, 9)});
  std::vector<uint8_t> streamBytes, bytes;
  std::string error;
  ASSERT_TRUE(FsStreamBuild(stream, &streamBytes, &error)) << error;
  spec.streams.push_back(streamBytes);
  ASSERT_TRUE(BinImageBuild(spec, &bytes, &error)) << error;
  ASSERT_EQ(bytes.size(), kChunkStart + 1024u);
  EXPECT_EQ(Validate(PlaceBytes(bytes)), FWL_OK);
  FWLCloseFile();
  bytes[kView + 100] ^= 0xFF;
  EXPECT_EQ(Validate(PlaceBytes(bytes, "damaged.bin")), FWL_ERR_CHECKSUM);
}

TEST_F(ValidationTest, WithoutVerifyTheStreamHeaderStillHasABufferToLandIn) {
  Attach();
  BinImageSpec spec = OneRecordImage(kOsLinked, 100);
  spec.streams.push_back(SectorStream(2));
  std::u16string path = Place(spec);
  RegionSummary summary = {};
  EXPECT_EQ(Validate(path, &summary, 0), FWL_OK);
  EXPECT_TRUE(WorkBufferHeld()) << "kept for the update";
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_FILE_SYSTEM);
}

TEST_F(ValidationTest, ASuccessLeavesTheFileOpenAtItsStartForTheUpdate) {
  Attach();
  std::u16string path = Place(OneRecordImage(kOsLinked, 100));
  ASSERT_EQ(Validate(path), FWL_OK);
  HANDLE file = FwlState()->imageFile;
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WorkBufferHeld());
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 0u);
  // The next validation closes what the last one left open.
  ASSERT_EQ(Validate(path), FWL_OK);
  EXPECT_EQ(FWLCloseFile(), FWL_OK);
}

}  // namespace
