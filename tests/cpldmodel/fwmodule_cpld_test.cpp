// fwmodule on the CPLD: info, the digest, and CPLD settings it refuses.
#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

ProgramResult Fwmodule(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuiltProgram("fwmodule")};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

TEST(FwmoduleCpld, InfoDigestAndRefusedSettings) {
  std::string dir = MakeTempDir("fwcpld");
  ASSERT_EQ(Fwmodule({"create", dir, "--board", "nand", "--set", "cpld.usercode=0x00020003"}).exitCode, 0);
  ProgramResult info = Fwmodule({"info", dir});
  ProgramResult digest = Fwmodule({"cpld", dir, "--digest"});
  ASSERT_EQ(digest.exitCode, 0) << digest.err;
  ASSERT_EQ(digest.out.size(), 17u) << digest.out;
  EXPECT_NE(info.out.find("cpld        IDCODE 0x06E5D093 (revision 0)\n"
                          "            USERCODE 0x00020003 (version 2.3)\n"
                          "            array programmed, digest " + digest.out.substr(0, 16)),
            std::string::npos)
      << info.out;

  ProgramResult bad = Fwmodule({"fault", dir, "faults.tdo_stuck=sideways"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("tdo_stuck"), std::string::npos) << bad.err;

  std::string nor = MakeTempDir("fwcpldnor");
  ASSERT_EQ(Fwmodule({"create", nor}).exitCode, 0);
  EXPECT_EQ(Fwmodule({"cpld", nor, "--digest"}).exitCode, 1) << "the NOR board has no CPLD";
  EXPECT_EQ(Fwmodule({"jtag-server", nor}).exitCode, 1);
}

}  // namespace
