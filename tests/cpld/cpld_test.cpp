// The CPLD interface: what it refuses before touching a pin, and the codes
// it gives for what answers on the JTAG pins.
#include <gtest/gtest.h>

#include "cpld/cpld.h"
#include "tests/cpld/cpld_fixture.h"

namespace {

TEST_F(CpldTest, NothingBeforeInitAndNoPinsWithoutACpld) {
  ASSERT_NO_FATAL_FAILURE(Attach({}, "nor"));  // part code 17
  uint32_t version = 0;
  const uint8_t complete[] = {0};
  StartTrace();
  EXPECT_EQ(CpldReadVersion(&version), CPLD_ERR_NOT_INITIALISED);
  EXPECT_EQ(CpldProgram(complete, sizeof complete, 1), CPLD_ERR_NOT_INITIALISED);
  EXPECT_EQ(CpldInit(), CPLD_ERR_NO_CPLD);
  EXPECT_TRUE(PinAccesses(Trace()).empty());
}

class NoIdentity : public CpldTest, public ::testing::WithParamInterface<const char*> {};

// What comes back is no IDCODE: a TDO nobody drives reads all ones, one held
// low all zeros. No device, not a wrong one.
TEST_P(NoIdentity, InitFailsTheIdentityRead) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({GetParam()}));
  StartTrace();
  EXPECT_EQ(CpldInit(), CPLD_ERR_ID_READ);
  std::vector<JtagShift> shifts = ShiftsOf(TckEdges(Trace(), kTracePinsPart89));
  ASSERT_EQ(shifts.size(), 2u);
  EXPECT_TRUE(shifts[0].ir);
  EXPECT_EQ(shifts[0].Value(), 0x01u) << "IDCODE";
  EXPECT_EQ(shifts[1].bits.size(), 32u);
}

INSTANTIATE_TEST_SUITE_P(Tdo, NoIdentity,
                         ::testing::Values("faults.tdo_stuck=high", "faults.tdo_stuck=low", "cpld.idcode=0"));

}  // namespace
