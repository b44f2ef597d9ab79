#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

const char kUnshare[] = "/usr/bin/unshare";
const char kMounted[] = "small disk mounted";
// Room for a sparse copy of a fresh NAND module and the small files of a new
// one once the filler is in, far less than its cells.
const char kDiskSize[] = "32m";
const char kFiller[] = "24m";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Runs `script` with `disk` a small, full file system of its own (a tmpfs in
// a mount namespace: as root, or as a user mapped to root where the system
// allows that). Skipped where neither can be had.
ProgramResult OnAFullDisk(const std::string& disk, const std::string& script) {
  std::string body = "mount -t tmpfs -o size=" + std::string(kDiskSize) + " tmpfs " + Quoted(disk) +
                     " || exit 1\necho '" + kMounted + "' >&2\n" + script;
  std::vector<std::string> argv = {kUnshare, "--mount"};
  if (::geteuid() != 0) argv.push_back("--map-root-user");
  for (const char* part : {"sh", "-c"}) argv.push_back(part);
  argv.push_back(body);
  return RunProgram(argv);
}

// A module made before its files were given their room: its flash.img sparse,
// on a disk with too little room left for the rest; and a new module there.
TEST(FullDisk, IsAnErrorBeforeAnythingIsErasedAndNeverACrash) {
  if (::access(kUnshare, X_OK) != 0) GTEST_SKIP() << "no " << kUnshare;
  std::string made = MakeModule({}, "nand");
  std::string disk = MakeTempDir("fwdisk");
  std::string copy = disk + "/module";
  std::string script =
      "cp -a --sparse=always " + Quoted(made) + " " + Quoted(copy) + " || exit 1\n" +
      "head -c " + kFiller + " /dev/zero > " + Quoted(disk + "/filler") + " || exit 1\n" +
      Quoted(BuiltProgram("flashwright")) + " --module " + Quoted(copy) +
      " --ui console /u '\\USB HD\\IMAGES\\nk.bin'; echo \"update $?\"\n" +
      "cmp -s " + Quoted(made + "/flash.img") + " " + Quoted(copy + "/flash.img") + " && echo untouched\n" +
      Quoted(BuiltProgram("fwmodule")) + " info " + Quoted(copy) + " >/dev/null; echo \"info $?\"\n" +
      Quoted(BuiltProgram("fwmodule")) + " create " + Quoted(disk + "/new") + " --board nand; echo \"create $?\"\n" +
      "ls -A " + Quoted(disk + "/new") + " 2>/dev/null | wc -l | sed 's/^/left /'\n";
  ProgramResult r = OnAFullDisk(disk, script);
  if (r.err.find(kMounted) == std::string::npos) GTEST_SKIP() << "cannot make a small file system here: " << r.err;
  EXPECT_NE(r.out.find("update 0"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("untouched"), std::string::npos) << "the update changed the flash\n" << r.out << r.err;
  EXPECT_NE(r.out.find("info 0"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("create 1"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("left 0"), std::string::npos) << "a failed create leaves nothing\n" << r.out;
  // Once for the update, once for the create.
  const char kSaid[] = "the host's disk is full: ";
  EXPECT_NE(r.err.find(kSaid + copy + "/flash.img"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(kSaid + disk + "/new/flash.img"), std::string::npos) << r.err;
}

}  // namespace
