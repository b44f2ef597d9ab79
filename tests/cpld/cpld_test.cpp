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

// A TDO nobody drives reads all ones: no device, not a wrong one.
TEST_F(CpldTest, OpenTdoIsNoIdentity) {
  ASSERT_NO_FATAL_FAILURE(Attach());
  StartTrace();
  EXPECT_EQ(CpldInit(), CPLD_ERR_ID_READ);
  std::vector<JtagShift> shifts = ShiftsOf(TckEdges(Trace(), kWiresPart89));
  ASSERT_EQ(shifts.size(), 2u);
  EXPECT_TRUE(shifts[0].ir);
  EXPECT_EQ(shifts[0].Value(), 0x01u) << "IDCODE";
  EXPECT_EQ(shifts[1].bits.size(), 32u);
}

}  // namespace
