#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "module/atomic_file.h"
#include "module/factory_registry.h"
#include "module/module_dir.h"
#include "module/nor_chips.h"
#include "module/registry_persist.h"
#include "module/registry_store.h"
#include "module/registry_text.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "tests/support/temp_module.h"

namespace {

// A small Registry region so the in-memory flash stays small.
constexpr uint32_t kBase = 0x80000;
constexpr uint32_t kHalf = 0x20000;
constexpr uint32_t kFlashBytes = 0x100000;

// Forwards to a flash until a number of erases and programs is used up, then
// fails every further one: the power went at that point. With `torn` the
// program the power cut into still wrote the first half of its bytes.
struct CutFlash {
  ModuleFlash inner;
  int writesLeft = 0;
  bool torn = false;
};

bool CutRead(void* ctx, uint32_t off, void* out, uint32_t len) {
  return ModuleFlashRead(static_cast<CutFlash*>(ctx)->inner, off, out, len);
}
bool CutProgram(void* ctx, uint32_t off, const void* data, uint32_t len) {
  auto* cut = static_cast<CutFlash*>(ctx);
  if (cut->writesLeft-- > 0) return ModuleFlashProgram(cut->inner, off, data, len);
  if (cut->writesLeft == -1 && cut->torn) ModuleFlashProgram(cut->inner, off, data, len / 2);
  return false;
}
bool CutErase(void* ctx, uint32_t off, uint32_t len) {
  auto* cut = static_cast<CutFlash*>(ctx);
  return cut->writesLeft-- > 0 && ModuleFlashErase(cut->inner, off, len);
}
uint32_t CutSize(void* ctx) {
  const ModuleFlash& f = static_cast<CutFlash*>(ctx)->inner;
  return f.ops->size(f.ctx);
}
uint32_t CutBlock(void* ctx, uint32_t off) {
  const ModuleFlash& f = static_cast<CutFlash*>(ctx)->inner;
  return f.ops->blockSize(f.ctx, off);
}
const ModuleFlashOps kCutOps = {CutRead, CutProgram, CutErase, CutSize, CutBlock};

uint32_t Word(const MemoryFlash& mem, uint32_t offset) {
  const uint8_t* p = mem.storage.data() + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

class RegistryPersist : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = AttachTempModule();
    ASSERT_FALSE(dir_.empty());
    std::string error;
    ASSERT_TRUE(ModuleOpen(dir_, &module_, &error)) << error;
    // The factory registry is then built from the small layout below.
    ::unlink(FactoryRegistryPath(dir_).c_str());
    small_ = module_;
    small_.config.layoutRegistryBase = kBase;
    small_.config.layoutRegistryHalf = kHalf;
    MemoryFlashInit(&mem_, kFlashBytes, kHalf);
    flash_ = RawFlashAccess(&mem_.raw);
  }
  void TearDown() override {
    RegistryPlatformReset();
    PlatformDetachModule();
    std::filesystem::remove_all(dir_);
  }

  void Save(std::string_view text) {
    std::string error;
    ASSERT_TRUE(RegistryPersistSave(small_, flash_, text, &error)) << error;
  }
  std::string Current(bool* found) {
    std::string text, error;
    EXPECT_TRUE(RegistryPersistRead(small_, flash_, &text, found, &error)) << error;
    return text;
  }
  std::string LiveText() {
    std::string text, error;
    EXPECT_TRUE(ReadWholeFile(ModuleRegistryPath(dir_), &text, &error)) << error;
    return text;
  }

  std::string dir_;
  Module module_;
  Module small_;
  MemoryFlash mem_;
  ModuleFlash flash_;
};

}  // namespace

// Each save lands in the other half, commits with its header and retires the
// old half; nothing outside the Registry region changes.
TEST_F(RegistryPersist, SavesAlternateHalvesAndStayInTheirRegion) {
  for (uint32_t i = 0; i < kFlashBytes; i++) {
    if (i < kBase || i >= kBase + 2 * kHalf) mem_.storage[i] = static_cast<uint8_t>(i * 7);
  }
  const std::vector<uint8_t> outside = mem_.storage;
  const char* texts[] = {"[HKEY_LOCAL_MACHINE\\A]\n", "[HKEY_LOCAL_MACHINE\\B]\n", "[HKEY_LOCAL_MACHINE\\C]\n"};
  for (int round = 0; round < 3; round++) {
    uint64_t erases = mem_.raw.eraseCalls;
    Save(texts[round]);
    uint32_t now = kBase + (round % 2) * kHalf;
    uint32_t old = kBase + ((round + 1) % 2) * kHalf;
    EXPECT_EQ(Word(mem_, now), kRegistryHalfMarker) << round;
    EXPECT_EQ(Word(mem_, now + 4), kRegistryGenerationBytes + std::strlen(texts[round])) << round;
    EXPECT_EQ(Word(mem_, old), round == 0 ? 0xFFFFFFFFu : 0u) << round;
    EXPECT_EQ(mem_.raw.eraseCalls, erases + 1) << "one half erased per save";
    bool found = false;
    EXPECT_EQ(Current(&found), texts[round]);
    EXPECT_TRUE(found);
  }
  auto region = mem_.storage.begin() + kBase;
  EXPECT_TRUE(std::equal(mem_.storage.begin(), region, outside.begin()));
  EXPECT_TRUE(std::equal(region + 2 * kHalf, mem_.storage.end(), outside.begin() + kBase + 2 * kHalf));
}

// Both halves valid, their save counters on either side of the wrap: the
// one saved later (counter 0 after 0xFFFFFFFF) is current.
TEST_F(RegistryPersist, NewerHalfWinsAcrossTheCounterWrap) {
  auto put = [&](uint32_t half, uint32_t generation, const std::string& text) {
    uint32_t at = kBase + half * kHalf;
    const uint32_t words[] = {kRegistryHalfMarker, static_cast<uint32_t>(kRegistryGenerationBytes + text.size()),
                              generation};
    for (uint32_t i = 0; i < 3; i++) {
      for (uint32_t b = 0; b < 4; b++) mem_.storage[at + 4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    }
    std::copy(text.begin(), text.end(), mem_.storage.begin() + at + 12);
  };
  for (uint32_t later : {0u, 1u}) {
    put(later, 0, "[HKEY_LOCAL_MACHINE\\Later]\n");
    put(1 - later, 0xFFFFFFFF, "[HKEY_LOCAL_MACHINE\\Earlier]\n");
    bool found = false;
    EXPECT_EQ(Current(&found), "[HKEY_LOCAL_MACHINE\\Later]\n") << "later save in half " << later;
  }
}

TEST_F(RegistryPersist, TooLargeForAHalfFailsBeforeTouchingFlash) {
  std::string fits(kHalf - kRegistryHalfHeaderBytes - kRegistryGenerationBytes, 'x');
  Save(fits);
  const std::vector<uint8_t> before = mem_.storage;
  uint64_t programs = mem_.raw.programCalls, erases = mem_.raw.eraseCalls;
  std::string error;
  EXPECT_FALSE(RegistryPersistSave(small_, flash_, fits + "x", &error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  EXPECT_EQ(mem_.raw.programCalls, programs);
  EXPECT_EQ(mem_.raw.eraseCalls, erases);
  EXPECT_TRUE(mem_.storage == before);
  bool found = false;
  EXPECT_EQ(Current(&found), fits);

  // A layout whose halves are not whole erase blocks would let one erase take both.
  Module skewed = small_;
  skewed.config.layoutRegistryBase = kBase + 0x1000;
  EXPECT_FALSE(RegistryPersistSave(skewed, flash_, "x", &error));
  skewed.config.layoutRegistryBase = kFlashBytes - kHalf;
  EXPECT_FALSE(RegistryPersistSave(skewed, flash_, "x", &error)) << "second half past the end of the flash";
  EXPECT_TRUE(mem_.storage == before);
}

// The power goes at each step of a save: before the erase, after it, after
// or during the data, after or during the header, before or during the
// retirement of the old half. Some valid copy always remains, the newest
// committed one wins, and the next save puts everything in order again.
TEST_F(RegistryPersist, PowerCutAtAnyStepLeavesAValidCopy) {
  const std::string newer = "[HKEY_LOCAL_MACHINE\\New]\n";
  Save("old");
  const std::vector<uint8_t> start = mem_.storage;
  for (int step = 0; step < 8; step++) {
    int budget = step / 2;
    bool torn = step % 2 == 1;
    SCOPED_TRACE("writes before the cut: " + std::to_string(budget) + (torn ? ", torn" : ""));
    std::copy(start.begin(), start.end(), mem_.storage.begin());
    CutFlash cut{flash_, budget, torn};
    ModuleFlash dying{&kCutOps, &cut};
    std::string error;
    EXPECT_FALSE(RegistryPersistSave(small_, dying, newer, &error));

    bool committed = budget == 3;
    if (committed && !torn) {
      EXPECT_EQ(Word(mem_, kBase), kRegistryHalfMarker) << "old half not yet retired";
      EXPECT_EQ(Word(mem_, kBase + kHalf), kRegistryHalfMarker);
    }
    bool found = false;
    EXPECT_EQ(Current(&found), committed ? newer : "old");
    EXPECT_TRUE(found);

    Save("next");
    EXPECT_EQ(Current(&found), "next");
    int live = (Word(mem_, kBase) == kRegistryHalfMarker) + (Word(mem_, kBase + kHalf) == kRegistryHalfMarker);
    EXPECT_EQ(live, 1);
  }
}

TEST_F(RegistryPersist, ClearAndDamageBringBackTheFactoryRegistry) {
  std::string error;
  RegistryData factory;
  ASSERT_TRUE(FactoryRegistryBuild(small_.config, &factory, &error)) << error;

  ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir_), "[HKEY_LOCAL_MACHINE\\Mine]\n\"v\"=dword:1\n", &error));
  ASSERT_TRUE(RegistryPersistFlush(small_, flash_, &error)) << error;
  ASSERT_TRUE(RegistryPersistClear(small_, flash_, &error)) << error;
  EXPECT_NE(Word(mem_, kBase), kRegistryHalfMarker);
  EXPECT_NE(Word(mem_, kBase + kHalf), kRegistryHalfMarker);
  bool found = true;
  Current(&found);
  EXPECT_FALSE(found);
  bool usedFactory = false;
  ASSERT_TRUE(RegistryPersistReload(small_, flash_, &usedFactory, &error)) << error;
  EXPECT_TRUE(usedFactory);
  EXPECT_EQ(LiveText(), RegistryToText(factory));

  // A committed half whose text does not parse is no better than none.
  Save("[HKEY_LOCAL_MACHINE\\Broken\n");
  ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir_), "[HKEY_LOCAL_MACHINE\\Mine]\n", &error));
  ASSERT_TRUE(RegistryPersistReload(small_, flash_, &usedFactory, &error)) << error;
  EXPECT_TRUE(usedFactory);
  EXPECT_EQ(LiveText(), RegistryToText(factory));

  // The module's own factory.reg, when present, is the factory registry.
  const std::string custom = "[HKEY_LOCAL_MACHINE\\Custom]\n";
  ASSERT_TRUE(AtomicWriteFile(FactoryRegistryPath(dir_), custom, &error));
  ASSERT_TRUE(RegistryPersistClear(small_, flash_, &error)) << error;
  ASSERT_TRUE(RegistryPersistReload(small_, flash_, &usedFactory, &error)) << error;
  EXPECT_EQ(LiveText(), custom);
}

// Through the platform calls, on the module's own flash.img: a flushed value
// survives a reload that throws away later live changes.
TEST_F(RegistryPersist, FlushedRegistrySurvivesReload) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Test\\Persist", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  DWORD kept = 0x1234;
  ASSERT_EQ(RegSetValueExW(key, u"Kept", 0, REG_DWORD, reinterpret_cast<BYTE*>(&kept), sizeof kept), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"Later", 0, REG_DWORD, reinterpret_cast<BYTE*>(&kept), sizeof kept), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, u"Kept"), ERROR_SUCCESS);

  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  ASSERT_NE(flash, nullptr) << error;
  bool usedFactory = true;
  ASSERT_TRUE(RegistryPersistReload(module_, *flash, &usedFactory, &error)) << error;
  EXPECT_FALSE(usedFactory);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"Kept", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, kept);
  EXPECT_EQ(RegQueryValueExW(key, u"Later", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryPersist, FactoryInstallWritesLiveFactoryAndPersistentCopies) {
  MemoryFlash full;
  MemoryFlashInit(&full, NorPairBytes(module_.config.norDeviceCode), 0x40000);
  ModuleFlash fullFlash = RawFlashAccess(&full.raw);
  std::string error;
  ASSERT_TRUE(FactoryRegistryInstall(module_, fullFlash, &error)) << error;

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  struct Dword {
    LPCWSTR name;
    DWORD value;
  } dwords[] = {{u"MemBase", 0x01480000}, {u"MemLen", 0x02000000 - 0x01480000}, {u"BlockSize", 0x40000},
                {u"SectorSize", 512},     {u"Order", 2}};
  for (const Dword& d : dwords) {
    DWORD value = 0, size = sizeof value, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, d.name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, d.value);
  }
  WCHAR text[40];
  DWORD size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_TRUE(std::u16string(text) == u"DSK");
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\Profiles\\FlashDisk", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_TRUE(std::u16string(text) == u"Internal Flash");
  RegCloseKey(key);

  std::string persistent, factoryFile;
  bool found = false;
  ASSERT_TRUE(RegistryPersistRead(module_, fullFlash, &persistent, &found, &error)) << error;
  EXPECT_TRUE(found);
  ASSERT_TRUE(ReadWholeFile(FactoryRegistryPath(dir_), &factoryFile, &error)) << error;
  EXPECT_EQ(persistent, LiveText());
  EXPECT_EQ(factoryFile, LiveText());

  Module unknown = module_;
  unknown.config.norDeviceCode = 0x9999;
  EXPECT_FALSE(FactoryRegistryInstall(unknown, fullFlash, &error));
}
