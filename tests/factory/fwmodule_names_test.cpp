// fwmodule on a flash disk volume whose entries hold names no FAT volume
// may: get never writes past the host path it was given, ls shows the names
// escaped, and neither changes the flash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "module/atomic_file.h"
#include "module/fat_volume.h"
#include "platform/text.h"
#include "tests/support/fat_craft.h"
#include "tests/support/module_content.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

constexpr char kBait[] = "\\Hard Disk\\a long bait name for crafting.txt";
constexpr char kBaitAlias[] = "\\Hard Disk\\ALONGB~1.TXT";
constexpr char kContent[] = "measurement data\n";

struct HostileName {
  const char* test;
  std::u16string longName;  // empty: none
  std::string shortBytes;   // empty: the alias kept
  const char* shown;        // as ls and the messages show it
};

const HostileName kHostileNames[] = {
    {"Separators", u"/../../../../elsewhere/x", "", "\\x2F..\\x2F..\\x2F..\\x2F..\\x2Felsewhere\\x2Fx"},
    {"Backslashes", u"..\\..\\..\\x", "", "..\\x5C..\\x5C..\\x5Cx"},
    {"DotDot", u"..", "", ".."},
    {"TerminalEscape", u"\x1B]0;owned\x07\x1B[2J", "", "\\x1B]0;owned\\x07\\x1B[2J"},
    {"ShortSlash", u"", "A/B     TXT", "A\\x2FB.TXT"},
};

void PrintTo(const HostileName& name, std::ostream* out) { *out << name.test; }

ProgramResult Fwmodule(const std::string& command, const std::string& dir, std::vector<std::string> rest) {
  rest.insert(rest.begin(), {BuiltProgram("fwmodule"), command, dir});
  return RunProgram(rest);
}

std::set<std::string> FilesUnder(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    files.insert(std::filesystem::relative(entry.path(), root).string());
  }
  return files;
}

// Bytes that would reach the terminal as commands: C0 other than the line
// ends, DEL, and C1 as UTF-8 encodes it.
bool HasControls(const std::string& text) {
  for (size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) return true;
  }
  return false;
}

class FwmoduleHostileNameTest : public testing::TestWithParam<HostileName> {};

TEST_P(FwmoduleHostileNameTest, NamesOffTheVolumeNeverSteerTheHostOrTheTerminal) {
  const HostileName& p = GetParam();
  std::string dir = MakeTempDir("fwnames"), work = MakeTempDir("fwnameswork"), error;
  ASSERT_EQ(Fwmodule("create", dir, {}).exitCode, 0);
  ASSERT_TRUE(AtomicWriteFile(work + "/bait", kContent, &error)) << error;
  ASSERT_EQ(Fwmodule("put", dir, {work + "/bait", kBait}).exitCode, 0);
  std::filesystem::remove(work + "/bait");
  EditModuleVolume(dir, [&](FatVolume* v) {
    CraftEntryName(v, u"a long bait name for crafting.txt", p.longName, p.shortBytes);
  });
  std::vector<uint8_t> cells = ModuleFlashCells(dir);
  // Deep enough that the crafted climbs would land inside `work`.
  std::string target = work + "/a/b/c/d/target";
  std::filesystem::create_directories(target);

  ProgramResult r = Fwmodule("ls", dir, {"\\Hard Disk"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(std::string(p.shown) + "  (not a name FAT allows"), std::string::npos) << r.out;
  EXPECT_FALSE(HasControls(r.out)) << r.out;

  // Into a folder the file would take the volume's name: refused, and named.
  bool reachable = p.shortBytes.empty();
  // The short name's '/' is no separator: typed, it asks for a folder "A".
  std::string typed = reachable ? kBaitAlias : "\\Hard Disk\\A/B.TXT";
  r = Fwmodule("get", dir, {typed, target});
  EXPECT_EQ(r.exitCode, 1);
  if (reachable) {
    EXPECT_NE(r.err.find(std::string("get: ") + kBaitAlias + ": the volume names this file \"" + p.shown + "\""),
              std::string::npos)
        << r.err;
  }
  EXPECT_FALSE(HasControls(r.err)) << r.err;
  // Named on the command line, the host file is exactly that one.
  r = Fwmodule("get", dir, {typed, target + "/named.out"});
  EXPECT_EQ(r.exitCode, reachable ? 0 : 1) << r.err;

  std::set<std::string> expected = {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/target"};
  if (reachable) expected.insert("a/b/c/d/target/named.out");
  EXPECT_EQ(FilesUnder(work), expected);
  if (reachable) {
    std::string back;
    EXPECT_TRUE(ReadWholeFile(target + "/named.out", &back, &error)) << error;
    EXPECT_EQ(back, kContent);
  }
  EXPECT_TRUE(ModuleFlashCells(dir) == cells) << "reading the volume changed the flash";
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Names, FwmoduleHostileNameTest, testing::ValuesIn(kHostileNames),
                         [](const testing::TestParamInfo<HostileName>& info) { return std::string(info.param.test); });

}  // namespace
