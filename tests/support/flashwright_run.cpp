#include "tests/support/flashwright_run.h"

#include <gtest/gtest.h>

#include <utility>

#include "module/atomic_file.h"
#include "module/bin_image_builder.h"
#include "module/module_image.h"
#include "module/registry_persist.h"
#include "tests/support/temp_module.h"

std::string MakeModule(const std::vector<std::string>& settings, const std::string& board) {
  std::string dir = MakeTempDir("fwcmd");
  std::vector<std::string> create = {BuiltProgram("fwmodule"), "create", dir, "--board", board};
  for (const std::string& setting : settings) {
    create.push_back("--set");
    create.push_back(setting);
  }
  EXPECT_EQ(RunProgram(create).exitCode, 0);
  return dir;
}

RunningProgram StartFlashwright(const std::string& dir, std::vector<std::string> switches, const std::string& input) {
  switches.insert(switches.begin(), {BuiltProgram("flashwright"), "--module", dir, "--ui", "console"});
  return StartProgram(switches, {}, input);
}

ProgramResult Flashwright(const std::string& dir, std::vector<std::string> switches, const std::string& input) {
  return FinishProgram(StartFlashwright(dir, std::move(switches), input));
}

ProgramResult UpdateWith(const std::string& dir, uint32_t at, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> file;
  std::string error;
  EXPECT_TRUE(BinImageBuild(BinSingleRecordImage(at, data), &file, &error)) << error;
  EXPECT_TRUE(BinImageStore(dir, "area.bin", file, &error)) << error;
  return Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\area.bin"});
}

void SetFault(const std::string& dir, const std::string& setting) {
  ProgramResult r = RunProgram({BuiltProgram("fwmodule"), "fault", dir, setting});
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

std::string PersistentRegistry(const std::string& dir) {
  Module module;
  ModuleImage image;
  std::string error, text;
  bool found = false;
  EXPECT_TRUE(ModuleOpen(dir, &module, &error) && ModuleImageOpen(module, &image, &error)) << error;
  EXPECT_TRUE(RegistryPersistRead(module, image.flash, &text, &found, &error)) << error;
  ModuleImageClose(&image);
  return found ? text : "";
}

std::string ReadFile(const std::string& path) {
  std::string text, error;
  ReadWholeFile(path, &text, &error);
  return text;
}
