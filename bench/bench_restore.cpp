// Writing a flash disk back from a backup: 16 MB of sectors restored into
// the store of a 64 MB module on the fast device model, against copying the
// same bytes from file to file as `cp` does. The storage manager's unload
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
#include "platform/storage.h"
#include "storage/store_access.h"

namespace {

constexpr uint32_t kDiskBytes = 16 * 1024 * 1024;
constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kFirstSector = 64;  // past the factory's own sectors' table
constexpr const WCHAR* kBackup = u"\\Temp\\bench-disk.bin";

bool FillDisk() {
  HANDLE store = OpenStore(FwlState()->storeDeviceName);
  if (store == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> piece = BinFillerBytes(0x100000, 3);
  bool ok = true;
  for (uint32_t done = 0; ok && done < kDiskBytes; done += static_cast<uint32_t>(piece.size())) {
    SG_REQ write = {};
    write.sr_start = kFirstSector + done / kSectorBytes;
    write.sr_num_sec = static_cast<DWORD>(piece.size() / kSectorBytes);
    write.sr_num_sg = 1;
    write.sr_sglist[0] = {piece.data(), static_cast<DWORD>(piece.size())};
    DWORD returned = 0;
    ok = DeviceIoControl(store, IOCTL_DISK_WRITE, &write, sizeof write, nullptr, 0, &returned, nullptr) != FALSE;
  }
  CloseHandle(store);
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

// What cp does: read the backup's bytes and write them into a new file.
void BM_CopyTheSameBytes(benchmark::State& state) {
  if (!Ready()) {
    state.SkipWithError("no module");
    return;
  }
  std::string from = ModuleRootPath(BenchModuleDir()) + "/Temp/bench-disk.bin";
  std::string to = ModuleRootPath(BenchModuleDir()) + "/Temp/bench-copy.bin";
  std::vector<char> buffer(0x20000);
  for (auto _ : state) {
    int in = ::open(from.c_str(), O_RDONLY);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t n = 0;
    while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
      if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) state.SkipWithError("copy failed");
    }
    ::close(in);
    ::close(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDiskBytes);
}
BENCHMARK(BM_CopyTheSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv); }
