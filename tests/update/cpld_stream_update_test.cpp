// The update judges the CPLD stream again before its first clock: a file
// changed since its validation is refused with 6, and the TAP never moves.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "module/module_dir.h"
#include "platform/text.h"
#include "tests/support/jtag_trace.h"
#include "tests/support/xsvf_writer.h"
#include "tests/update/update_fixture.h"

namespace {

TEST_F(UpdateTest, ACpldStreamCutAfterItsValidationNeverClocksTheTap) {
  board_ = "nand";
  Attach();
  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.hasCpld = true;
  spec.cpld.data = XsvfVendorFile("xc2c64a-idcode.xsvf");
  std::u16string path = Place(spec, "cpld.bin");
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);

  // Without its XCOMPLETE the padding is the same bytes: only the recorded length tells.
  spec.cpld.data.pop_back();
  std::vector<uint8_t> cut;
  std::string error;
  ASSERT_TRUE(BinImageBuild(spec, &cut, &error)) << error;
  {
    std::ofstream over(ModuleRootPath(dir_) + "/" + kModuleImagesFolder + "/cpld.bin", std::ios::binary | std::ios::in);
    over.write(reinterpret_cast<const char*>(cut.data()), static_cast<std::streamsize>(cut.size()));
    ASSERT_TRUE(over.good());
  }
  StartBusTrace();
  EXPECT_EQ(FWLDoUpdate(LogErase, LogSection, LogBytes), FWL_ERR_FILE_FORMAT);
  EXPECT_TRUE(PinAccesses(TakeBusTrace()).empty()) << "not even the identity read";
  EXPECT_NE(Utf16ToUtf8(RefusalText()).find("the CPLD stream ends at byte 93 without XCOMPLETE"), std::string::npos)
      << Utf16ToUtf8(RefusalText());
  EXPECT_TRUE(g_log.sections.empty());
  FWLCloseFile();
}

}  // namespace
