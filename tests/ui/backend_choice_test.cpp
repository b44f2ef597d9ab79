// Choosing the window system at start, and the platform's dialog units.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "platform/ui/dialog_units.h"
#include "platform/ui/ui_backend.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

TEST(BackendChoice, AnExplicitChoiceWinsElseQtNeedsADisplay) {
  UiEnvironment none;
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Console, UiEnvironment{":0", "", "xcb", ""}), UiBackendKind::Console);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Qt, none), UiBackendKind::Qt);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, none), UiBackendKind::Console);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"", "", "offscreen", ""}), UiBackendKind::Qt);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"otherhost:0", "", "", ""}), UiBackendKind::Qt);
  // A local display whose server does not answer is no display.
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{":4711", "", "", ""}), UiBackendKind::Console);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"garbage", "", "", ""}), UiBackendKind::Console);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{":x", "", "", ""}), UiBackendKind::Console);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"", "wayland-0", "", ""}), UiBackendKind::Console)
      << "no runtime folder to find the socket in";

  // A Wayland socket that exists is a display.
  std::string runtime = MakeTempDir("fwui");
  std::string socketPath = runtime + "/wayland-9";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"", "wayland-9", "", runtime}), UiBackendKind::Qt);
  EXPECT_EQ(UiChooseBackend(UiBackendKind::Auto, UiEnvironment{"", "wayland-8", "", runtime}),
            UiBackendKind::Console);
  ::close(fd);
}

TEST(DialogUnits, ConvertWithTheFontsAverageCharacterAsThePlatformDoes) {
  // 52 letters 312 pixels wide: (312 / 26 + 1) / 2 = 6.
  DialogBaseUnits base = DialogBaseUnitsOf(312, 13);
  EXPECT_EQ(base.x, 6);
  EXPECT_EQ(base.y, 13);
  // The main dialog's Save button: 7, 13, 49, 12 in dialog units; halves round away from zero.
  PixelRect r = DialogUnitsToPixels(7, 13, 49, 12, base);
  EXPECT_EQ(r.x, 11);
  EXPECT_EQ(r.y, 21);
  EXPECT_EQ(r.width, 74);
  EXPECT_EQ(r.height, 20);
  EXPECT_EQ(MulDivRound(-3, 3, 2), -5);
  EXPECT_EQ(MulDivRound(5, 1, 0), 0);
  EXPECT_EQ(MulDivRound(2147483647, 2, 2), 2147483647) << "no overflow in between";
}

}  // namespace

namespace {

TEST(HostUi, QtAskedForWithoutADisplayIsRefusedBeforeQtCouldAbort) {
  std::string dir = MakeTempDir("fwui");
  ASSERT_EQ(RunProgram({BuiltProgram("fwmodule"), "create", dir}).exitCode, 0);
  std::vector<std::pair<std::string, std::string>> noDisplay = {
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  ProgramResult r = RunProgram({BuiltProgram("flashwright"), "--module", dir, "--ui", "qt", "/f"}, noDisplay);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--ui qt needs a display"), std::string::npos) << r.err;
  // Left to choose, the same host takes the console and runs.
  r = RunProgram({BuiltProgram("flashwright"), "--module", dir, "/f"}, noDisplay);
  EXPECT_NE(r.exitCode, 2) << r.err;
}

// Qt comes from a plug-in beside the program: a console run must not load
// its libraries, a Qt run must find and bind it, and a program installed
// without it must say so rather than crash or quietly change window system.
TEST(HostUi, OnlyARunThatChoosesQtLoadsItsPlugin) {
  std::string dir = MakeTempDir("fwui");
  ASSERT_EQ(RunProgram({BuiltProgram("fwmodule"), "create", dir}).exitCode, 0);
  std::string alone = MakeTempDir("fwui") + "/flashwright";
  std::filesystem::copy_file(BuiltProgram("flashwright"), alone);
  struct Case {
    std::string program;
    const char* ui;
    int exitCode;
    const char* logged;     // in the loader's log or the program's message
    const char* notLogged;
  };
  for (const Case& c : {Case{BuiltProgram("flashwright"), "console", 1, "libc.so", "libQt6"},
                        Case{BuiltProgram("flashwright"), "qt", 1, "libQt6Widgets", "cannot be loaded"},
                        Case{alone, "qt", 2, "flashwright-qt.so: cannot open", "libQt6"}}) {
    ProgramResult r = RunProgram({c.program, "--module", dir, "--ui", c.ui, "/fu"},
                                 {{"LD_DEBUG", "files"}, {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.program << " " << c.ui << "\n" << r.err;
    EXPECT_NE(r.err.find(c.logged), std::string::npos) << c.program << " " << c.ui << "\n" << r.err;
    EXPECT_EQ(r.err.find(c.notLogged), std::string::npos) << c.program << " " << c.ui << "\n" << r.err;
  }
}

}  // namespace
