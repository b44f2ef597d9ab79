// BIN files built by a board support package's own tools, read in place:
// they validate, map, and lay out exactly as their flat twin.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "tests/image/image_fixture.h"

namespace {

std::vector<uint8_t> Shared(const char* name) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageReadFile(std::string(FW_SHARED_TESTDATA) + "/bin/" + name, &bytes, &error)) << error;
  return bytes;
}

class RealFilesTest : public ImageTest {};

TEST_F(RealFilesTest, EthernetBootloaderValidatesAndLandsAtTheOsBase) {
  Attach();
  std::vector<uint8_t> bytes = Shared("EBOOTND.bin");
  ASSERT_EQ(bytes.size(), 192007u);
  RegionSummary summary = {};
  ASSERT_EQ(Validate(PlaceBytes(bytes, "EBOOTND.bin"), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS);
  EXPECT_EQ(summary.start, 0x80000u) << "linked at 0x87E00000, in the cached window";
  EXPECT_EQ(summary.length, 0x3006Cu);
  const ImageDescription& image = FwlState()->image;
  EXPECT_EQ(image.addressShift, 0x80000u - 0x87E00000u);
  EXPECT_EQ(image.binPartEnd, bytes.size());
  BinImageSeen seen = BinImageInspect(bytes);
  uint32_t used = 0;
  for (const BinRecordSeen& r : seen.records) used += r.length;
  EXPECT_EQ(summary.used, used);
  EXPECT_EQ(seen.records.size(), 8u);
}

TEST_F(RealFilesTest, LoaderLinkedAsFlashOffsetsBeyondThisFlashIsRefused) {
  Attach();
  std::vector<uint8_t> bytes = Shared("XLDRNAND.bin");
  BinImageSeen seen = BinImageInspect(bytes);
  EXPECT_EQ(seen.imageStart, 0x40200000u) << "below the flash-offset limit: maps unchanged";
  EXPECT_EQ(seen.imageLength, 0x9380u);
  EXPECT_EQ(Validate(PlaceBytes(bytes, "XLDRNAND.bin")), FWL_ERR_FILE_FORMAT) << "past this module's 32 MB";
}

TEST(RealFilesLayout, RecordsLaidOutFromTheImageStartAreTheFlatImage) {
  std::vector<uint8_t> bin = Shared("EBOOTND.bin"), flat = Shared("EBOOTND.nb0");
  BinImageSeen seen = BinImageInspect(bin);
  ASSERT_TRUE(seen.endRecord);
  EXPECT_EQ(seen.trailingBytes, 0u);
  std::vector<uint8_t> laid(flat.size(), 0);
  for (const BinRecordSeen& r : seen.records) {
    ASSERT_TRUE(r.checksumOk);
    uint32_t at = r.address - seen.imageStart;
    ASSERT_LE(uint64_t{at} + r.length, laid.size());
    std::copy_n(bin.begin() + static_cast<long>(r.fileOffset + kBinRecordHeaderBytes), r.length, laid.begin() + at);
  }
  EXPECT_TRUE(laid == flat);
  // Rebuilt from the same records, the file comes out byte for byte.
  BinImageSpec spec;
  spec.bin.imageStart = seen.imageStart;
  spec.bin.imageLength = seen.imageLength;
  spec.bin.entryPoint = seen.entryPoint;
  for (const BinRecordSeen& r : seen.records) {
    auto data = bin.begin() + static_cast<long>(r.fileOffset + kBinRecordHeaderBytes);
    spec.bin.records.push_back({r.address, std::vector<uint8_t>(data, data + r.length)});
  }
  std::vector<uint8_t> rebuilt;
  std::string error;
  ASSERT_TRUE(BinImageBuild(spec, &rebuilt, &error)) << error;
  EXPECT_TRUE(rebuilt == bin);
}

}  // namespace
