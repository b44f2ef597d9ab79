// Writing a flash disk back from a backup: a flash disk holding 16 MB of
// files (a 64 MB module, fast device model) restored from its whole-disk
// backup, against copying the same 16 MB from file to file as `cp` does. The storage manager's unload
// delay and the driver's settle time are waits the module asks for, not
// work: they are skipped here.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/support/bench_module.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/update.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

constexpr uint32_t kDiskBytes = 16 * 1024 * 1024;
constexpr const WCHAR* kBackup = u"\\Temp\\bench-disk.bin";

constexpr uint32_t kFiles = 16;
constexpr uint32_t kFileBytes = kDiskBytes / kFiles;

// The files, written through the module's own file calls onto its volume.
bool FillDisk() {
  if (!CreateDirectoryW(u"\\Hard Disk\\bench", nullptr)) return false;
  std::vector<uint8_t> bytes = BinFillerBytes(kFileBytes, 3);
  bool ok = true;
  for (uint32_t i = 0; ok && i < kFiles; i++) {
    std::u16string name = u"\\Hard Disk\\bench\\file";
    name.push_back(static_cast<char16_t>(u'a' + i));
    name += u".bin";
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD done = 0;
    ok = file != INVALID_HANDLE_VALUE && WriteFile(file, bytes.data(), kFileBytes, &done, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    // The copy's source: the same bytes in the object store.
    std::string host = ModuleRootPath(BenchModuleDir()) + "/Temp/src" + std::to_string(i);
    std::string error;
    ok = ok && BinImageWriteFile(host, bytes, &error);
  }
  return ok;
}

bool Ready() {
  static const bool ready = BenchModuleAttach("restore", {"flash.nor_device_code=0x0019"}) && FWLInit() == 0 &&
                            FillDisk() && FWLInit() == 0 &&
                            FWLBackupToFile(kBackup, REGION_FILE_SYSTEM, nullptr, nullptr, nullptr) == 0;
  return ready;
}

void BM_RestoreFlashDisk(benchmark::State& state) {
  if (!Ready()) {
    state.SkipWithError("no module");
    return;
  }
  ClockSkipSleepsForTests(true);
  for (auto _ : state) {
    if (FWLSetBinFile(kBackup, nullptr, nullptr, 0) != 0 || FWLDoUpdate(nullptr, nullptr, nullptr) != 0) {
      state.SkipWithError("restore failed");
    }
    FWLCloseFile();
  }
  ClockSkipSleepsForTests(false);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDiskBytes);
}
BENCHMARK(BM_RestoreFlashDisk)->Unit(benchmark::kMillisecond)->UseRealTime();

// What cp does with the 16 files: read each and write it into a new file.
void BM_CopyTheSameFiles(benchmark::State& state) {
  if (!Ready()) {
    state.SkipWithError("no module");
    return;
  }
  std::string folder = ModuleRootPath(BenchModuleDir()) + "/Temp/";
  std::vector<char> buffer(0x20000);
  for (auto _ : state) {
    for (uint32_t i = 0; i < kFiles; i++) {
      int in = ::open((folder + "src" + std::to_string(i)).c_str(), O_RDONLY);
      int out = ::open((folder + "copy" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ssize_t n = 0;
      while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
        if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) state.SkipWithError("copy failed");
      }
      ::close(in);
      ::close(out);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDiskBytes);
}
BENCHMARK(BM_CopyTheSameFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv); }
