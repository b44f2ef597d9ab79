#include "tests/version/version_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "module/module_dir.h"
#include "platform/datetime.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/support/temp_module.h"

namespace {

void ResetLayers() {
  FWLResetForTests();
  FlashLayerResetForTests();
  NorResetForTests();
  HardwareReset();
  DateTimeReset();
}

std::string WindowsPath(const std::string& dir, const char* name) { return ModuleRootPath(dir) + "/Windows/" + name; }

}  // namespace

void VersionTest::Attach(const std::vector<std::string>& settings) {
  ResetLayers();
  dir_ = AttachTempModuleWith(settings);
  ASSERT_FALSE(dir_.empty());
  ASSERT_EQ(FWLInit(), FWL_OK);
}

void VersionTest::TearDown() {
  ResetLayers();
  PlatformDetachModule();
}

void VersionTest::Place(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words((bytes.size() + 3) / 4, 0xFFFFFFFF);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  uint32_t length = static_cast<uint32_t>(words.size() * 4);
  ASSERT_NE(FlashLock(FLASH_WAIT_FOREVER), 0u);
  bool erased = FlashOps.Erase(offset, length) != 0;
  bool written = erased && FlashOps.Write(words.data(), offset, length) != 0;
  FlashUnlock();
  ASSERT_TRUE(erased && written) << "placing " << length << " bytes at " << offset;
}

void VersionTest::PutWindowsFile(const char* name, const ModuleDateTime& when) {
  std::string path = WindowsPath(dir_, name);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "dated by the image build\n";
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ModuleDateTimeToUnix(when));
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void VersionTest::RemoveWindowsFile(const char* name) {
  ASSERT_EQ(std::remove(WindowsPath(dir_, name).c_str()), 0) << name;
}

// The text buffers start filled, so a text the look-up failed to end shows.
struct DateBuffer {
  WCHAR text[FWL_DATE_TEXT_CHARS];
  DateBuffer() { std::fill(std::begin(text), std::end(text), u'#'); }
  std::string Utf8() const { return Utf16ToUtf8({text, TextLengthBounded(text, FWL_DATE_TEXT_CHARS)}); }
};

uint32_t VersionTest::Bootloader(uint32_t base, uint32_t length) {
  DateBuffer date;
  version_ = ImageVersion{};
  uint32_t found = FWLGetBootloaderVersion(&version_, date.text, base, length);
  date_ = date.Utf8();
  return found;
}

void VersionTest::Image() {
  DateBuffer date;
  version_ = ImageVersion{};
  FWLGetImageVersion(&version_, date.text);
  date_ = date.Utf8();
}

ImageVersion Version(uint32_t family, uint32_t major, uint32_t minor, uint32_t build) {
  return ImageVersion{family, major, minor | build << 16};
}

bool operator==(const ImageVersion& a, const ImageVersion& b) {
  return a.family == b.family && a.major == b.major && a.minorBuild == b.minorBuild;
}
