// fwmodule on a NAND board, end to end: create for another chip and
// processor, info on the chip and its tables, dump of logical bytes and of a
// physical page, and a file through the flash disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

ProgramResult Fwmodule(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuiltProgram("fwmodule")};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

void ExpectHas(const std::string& out, const std::string& what) {
  EXPECT_NE(out.find(what), std::string::npos) << "no \"" << what << "\" in:\n" << out;
}

}  // namespace

TEST(FwmoduleNand, CreateInfoDumpAndFilesWorkOnTheLogicalFlash) {
  std::string dir = MakeTempDir("fwnandtool");
  ProgramResult r = Fwmodule({"create", dir, "--board", "nand", "--force", "--set", "flash.nand_chip_id=0xF1EC",
                              "--set", "board.cpu_part_code=8"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  r = Fwmodule({"info", dir});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ExpectHas(r.out, "board       nand (processor part code 8)");
  ExpectHas(r.out, "NAND chip 0xF1EC, 1024 blocks of 128 KB");
  ExpectHas(r.out, "reserve 20 blocks (1004-1023), usable 125 MB (0x07D80000 bytes");
  ExpectHas(r.out, "block 613 -> 1023");
  ExpectHas(r.out, "marked bad by the chip maker: 613\n");
  ExpectHas(r.out, "NAND_FLASH_BBMT not built");
  ExpectHas(r.out, "ROM image of 0x0002C000 bytes (starting 0x8000 in)");
  ExpectHas(r.out, "half 1 at 0x01400000: current");
  ExpectHas(r.out, "store of ");

  r = Fwmodule({"dump", dir, "0x8040", "4"});
  EXPECT_EQ(r.out, "00008040  45 43 45 43                                      ECEC\n") << r.err;
  r = Fwmodule({"dump", dir, "--page", "63"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ExpectHas(r.out, "physical page 63 (page 63 of block 0), data:\n00000000  4E 52 FF FF 65 02 FF 03");
  ExpectHas(r.out, "spare:\n00000800  FF");
  r = Fwmodule({"dump", dir, "--page", "65536"});
  EXPECT_EQ(r.exitCode, 1);
  ExpectHas(r.err, "the chip has pages 0 to 65535");

  std::string host = dir + "/host.txt";
  std::ofstream(host) << "logical flash\n";
  ASSERT_EQ(Fwmodule({"put", dir, host, "\\Hard Disk\\nand.txt"}).exitCode, 0);
  ASSERT_EQ(Fwmodule({"get", dir, "\\Hard Disk\\nand.txt", host + ".back"}).exitCode, 0);
  std::ifstream back(host + ".back");
  std::string line;
  std::getline(back, line);
  EXPECT_EQ(line, "logical flash");

  // A program on the module starts the OS driver, which builds the map.
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  PlatformDetachModule();
  r = Fwmodule({"info", dir});
  ExpectHas(r.out, "NAND_FLASH_BBMT built this boot");
}
