// The CPLD interface on the module's CPLD: what it refuses before touching a
// pin, the codes of what answers on the JTAG pins, the version, and the
// vendor's files played and programmed.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cpld/cpld.h"
#include "cpld/xsvf.h"
#include "module/cpld_model.h"
#include "module/hardware.h"
#include "platform/hardware_link.h"
#include "platform/threads.h"
#include "tests/cpld/cpld_fixture.h"
#include "tests/support/xsvf_writer.h"

namespace {

std::vector<uint8_t> VendorFile(const std::string& name) {
  std::ifstream in(std::string(FW_SHARED_TESTDATA) + "/xsvf/xc2c64a-" + name + ".xsvf", std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Play(const std::vector<uint8_t>& stream) {
  return XsvfRunDetailed(stream.data(), static_cast<uint32_t>(stream.size()), nullptr);
}

const CpldModel* Model() { return PlatformHardware()->cpld; }

TEST_F(CpldTest, NothingBeforeInitAndNoPinsWithoutACpld) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({}, "nor"));  // part code 17
  uint32_t version = 0;
  const uint8_t complete[] = {XCOMPLETE};
  StartTrace();
  EXPECT_EQ(CpldReadVersion(&version), CPLD_ERR_NOT_INITIALISED);
  EXPECT_EQ(CpldProgram(complete, sizeof complete, 1), CPLD_ERR_NOT_INITIALISED);
  EXPECT_EQ(CpldInit(), CPLD_ERR_NO_CPLD);
  EXPECT_TRUE(PinAccesses(Trace()).empty());
}

struct InitCase {
  const char* setting;
  uint32_t code;
  TracePins pins;
};

class InitCodes : public CpldTest, public ::testing::WithParamInterface<InitCase> {};

// The identity read: IDCODE into the instruction register, 32 bits out of
// the data register. A TDO nobody drives reads all ones, one held low all
// zeros: no device (4), not a wrong one (5).
TEST_P(InitCodes, IdentityRead) {
  const InitCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(AttachShared({c.setting}));
  StartTrace();
  EXPECT_EQ(CpldInit(), c.code);
  std::vector<JtagShift> shifts = ShiftsOf(TckEdges(Trace(), c.pins));
  ASSERT_EQ(shifts.size(), 2u);
  EXPECT_TRUE(shifts[0].ir);
  EXPECT_EQ(shifts[0].Value(), 0x01u) << "IDCODE";
  EXPECT_EQ(shifts[1].bits.size(), 32u);
}

INSTANTIATE_TEST_SUITE_P(Devices, InitCodes,
                         ::testing::Values(InitCase{"board.cpu_part_code=9", CPLD_OK, kTracePinsPart89},
                                           InitCase{"board.cpu_part_code=8", CPLD_OK, kTracePinsPart89},
                                           InitCase{"board.cpu_part_code=2", CPLD_OK, kTracePinsPart2},
                                           InitCase{"cpld.idcode=0x16E5D093", CPLD_OK, kTracePinsPart89},
                                           InitCase{"cpld.idcode=0x06E5D094", CPLD_ERR_WRONG_DEVICE, kTracePinsPart89},
                                           InitCase{"faults.tdo_stuck=high", CPLD_ERR_ID_READ, kTracePinsPart89},
                                           InitCase{"faults.tdo_stuck=low", CPLD_ERR_ID_READ, kTracePinsPart89},
                                           InitCase{"cpld.idcode=0", CPLD_ERR_ID_READ, kTracePinsPart89}));

// The files check what they do: a blank check fails on the factory's
// design and passes after the erase; the design's own verify passes.
TEST_F(CpldTest, VendorFilesThroughThePlayer) {
  ASSERT_NO_FATAL_FAILURE(Attach());
  EXPECT_EQ(Play(VendorFile("idcode")), XSVF_OK);
  EXPECT_NE(Play(VendorFile("blank-check")), XSVF_OK);
  EXPECT_EQ(Play(VendorFile("erase")), XSVF_OK);
  EXPECT_EQ(Play(VendorFile("blank-check")), XSVF_OK);
  EXPECT_TRUE(CpldArrayBlank(CpldModelArray(Model())));
  EXPECT_EQ(Play(VendorFile("light-led")), XSVF_OK);
  EXPECT_TRUE(CpldArrayDone(CpldModelArray(Model())));
  EXPECT_FALSE(CpldModelInIscMode(Model()));
}

class ProgramModes : public CpldTest, public ::testing::WithParamInterface<uint32_t> {};

// The design as the player alone leaves it, also with the refresh of mode 2
// after it; the thread's priority is the caller's again after.
TEST_P(ProgramModes, LightLedDesign) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({}));
  std::vector<uint8_t> stream = VendorFile("light-led");
  ASSERT_EQ(Play(stream), XSVF_OK);
  std::string played = CpldArrayDigest(CpldModelArray(Model()));
  ASSERT_EQ(Play(VendorFile("erase")), XSVF_OK);

  int priority = CeGetThreadPriority(GetCurrentThread());
  ASSERT_EQ(CpldInit(), CPLD_OK);
  EXPECT_EQ(CpldProgram(stream.data(), static_cast<uint32_t>(stream.size()), GetParam()), CPLD_OK);
  CpldRelease();
  EXPECT_EQ(CpldArrayDigest(CpldModelArray(Model())), played);
  EXPECT_FALSE(CpldModelInIscMode(Model()));
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), priority);
}

INSTANTIATE_TEST_SUITE_P(Modes, ProgramModes, ::testing::Values(1u, 2u));

TEST_F(CpldTest, ProgramThatDoesNotStickFails) {
  ASSERT_NO_FATAL_FAILURE(Attach({"faults.cpld_program_fails=true"}));
  std::vector<uint8_t> stream = VendorFile("light-led");
  ASSERT_EQ(CpldInit(), CPLD_OK);
  EXPECT_EQ(CpldProgram(stream.data(), static_cast<uint32_t>(stream.size()), 1), CPLD_ERR_PROGRAM);
}

struct RefreshCase {
  uint32_t mode;
  std::vector<uint64_t> instructions;  // every instruction loaded
};

class RefreshAfterFailure : public CpldTest, public ::testing::WithParamInterface<RefreshCase> {};

// A firmware stream that fails; mode 2's refresh runs all the same, the
// others load no further instruction. Both fail.
TEST_P(RefreshAfterFailure, InstructionsLoaded) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({}));
  XsvfStream failing;
  XsvfPut32(&failing, XSDRSIZE, 8);
  XsvfPut(&failing, XTDOMASK, {0xFF});
  XsvfSdr(&failing, XSDRTDO, 8, 0x00, 0x55);  // the IDCODE's low byte is 0x93
  failing.push_back(XCOMPLETE);
  ASSERT_EQ(CpldInit(), CPLD_OK);
  StartTrace();
  EXPECT_EQ(CpldProgram(failing.data(), static_cast<uint32_t>(failing.size()), GetParam().mode), CPLD_ERR_PROGRAM);
  std::vector<uint64_t> instructions;
  for (const JtagShift& s : ShiftsOf(TckEdges(Trace(), kTracePinsPart89))) {
    if (s.ir) instructions.push_back(s.Value());
  }
  EXPECT_EQ(instructions, GetParam().instructions);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RefreshAfterFailure,
    ::testing::Values(RefreshCase{1, {}}, RefreshCase{3, {}},
                      // Identity twice, in-system mode, the init pulse twice, out again, bypass.
                      RefreshCase{2, {0x01, 0xFF, 0x01, 0xFF, 0xFF, 0xE8, 0xF0, 0xF0, 0xC0, 0xFF}}));

}  // namespace
