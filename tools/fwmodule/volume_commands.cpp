// fwmodule export, ls, put and get: the flash disk's partitions and the FAT
// volumes on them, each command within one store session.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "module/atomic_file.h"
#include "module/factory_images.h"
#include "platform/text.h"
#include "tools/common/file_time.h"
#include "tools/common/format.h"
#include "tools/fwmodule/commands.h"
#include "tools/fwmodule/module_volume.h"

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;
// Sectors read per flash disk call while exporting: one mount serves them all,
// this only bounds the buffer of one call.
constexpr uint32_t kExportChunkSectors = 256;

uint64_t FileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeFromHost(now);
}

std::string TimeText(uint64_t fileTime) {
  ModuleDateTime when;
  if (fileTime == 0 || !DateFromFileTime(fileTime, &when)) return "-                  ";
  return ModuleDateTimeText(when);
}

std::string AttributeText(uint8_t attributes) {
  const char letters[] = "RHSDA";
  const uint8_t bits[] = {kFatReadOnly, kFatHidden, kFatSystem, kFatDirectory, kFatArchive};
  std::string text;
  for (size_t i = 0; i < sizeof(bits); i++) text.push_back((attributes & bits[i]) != 0 ? letters[i] : '-');
  return text;
}

// What the volume calls the entry, escaped; one whose name a FAT volume
// cannot hold says so, and how it can be named.
std::string ShownName(const FatEntryInfo& e) {
  std::string text = Utf16ToUtf8(e.shown);
  if (!e.nameRefused) return text;
  if (e.name.empty()) return text + "  (not a name FAT allows, nor is its short name: it cannot be named)";
  return text + "  (not a name FAT allows: reach it as " + Utf16ToUtf8(e.name) + ")";
}

void PrintEntry(const FatEntryInfo& e) {
  std::string size = (e.attributes & kFatDirectory) != 0 ? "<DIR>" : Format("%" PRIu32, e.size);
  std::printf("%s  %s  %10s  %s\n", TimeText(e.written).c_str(), AttributeText(e.attributes).c_str(), size.c_str(),
              ShownName(e).c_str());
}

std::u16string LastComponent(std::u16string_view path) {
  size_t cut = path.find_last_of(u"\\/");
  return std::u16string(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

// Folders on the way to `path` that are missing get made; one that is a file
// is left for the file's creation to report.
FatResult MakeParents(FatVolume* fat, std::u16string_view path, uint64_t now) {
  for (size_t at = path.find_first_of(u"\\/"); at != std::u16string_view::npos;
       at = path.find_first_of(u"\\/", at + 1)) {
    if (at == 0) continue;
    FatResult made = FatMakeDirectory(fat, path.substr(0, at), now);
    if (made != FatResult::Ok && made != FatResult::Exists) return made;
  }
  return FatResult::Ok;
}

// Writes `data` as the file `path`: created when missing, else replaced in
// place (a read-only file is refused, as opening it for writing would be).
FatResult PutFile(FatVolume* fat, std::u16string_view path, const std::string& data, uint64_t written) {
  uint64_t now = FileTimeNow();
  FatResult result = MakeParents(fat, path, now);
  if (result != FatResult::Ok) return result;
  FatEntryInfo existing;
  result = FatStat(fat, path, &existing);
  bool created = result == FatResult::NotFound;
  if (created) result = FatCreateFile(fat, path, kFatArchive, now);
  else if (result == FatResult::Ok && (existing.attributes & kFatDirectory) != 0) result = FatResult::IsDirectory;
  else if (result == FatResult::Ok && (existing.attributes & kFatReadOnly) != 0) result = FatResult::AccessDenied;
  if (result != FatResult::Ok) return result;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  uint32_t length = static_cast<uint32_t>(data.size());
  if (length != 0) result = FatWrite(fat, path, 0, bytes, length, now);
  if (result == FatResult::Ok && !created) result = FatSetSize(fat, path, length, now);
  if (result == FatResult::Ok) return FatSetTimes(fat, path, nullptr, nullptr, &written);
  // A file that could not take the data is not left behind half made.
  if (created) FatDeleteFile(fat, path);
  return result;
}

// Closes the volume, letting the module's programs at the flash again; the
// exit code, with the message of a failed `result`.
int VolumeDone(const char* command, ModuleVolume* volume, std::u16string_view path, FatResult result) {
  std::string error = result == FatResult::Ok ? "" : ModuleVolumeError(*volume, path, result);
  ModuleVolumeClose(volume);
  return result == FatResult::Ok ? 0 : FwmoduleFail(std::string(command) + ": " + error);
}

}  // namespace

int FwmoduleExport(const std::vector<std::string>& args) {
  if (args.size() != 3) return FwmoduleFail("export: name the module directory, a partition (Part00) and an image file");
  Module module;
  std::vector<StoreDevice> devices;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error) || !StoreListDevices(module, &devices, &error)) return FwmoduleFail(error);
  if (devices.empty()) return FwmoduleFail("export: the module has no flash disk");
  ModuleStore store;
  if (!ModuleStoreOpen(module, devices.front(), &store, &error)) return FwmoduleFail("export: " + error);
  uint32_t slot = 0;
  const PartitionTable& table = store.session.table;
  if (!StorePartitionSlot(Utf8ToUtf16(args[1]), &slot) || !table.slots[slot].used) {
    std::string names;
    for (uint32_t i = 0; i < kStoreMaxPartitions; i++) {
      if (table.slots[i].used) names += " " + Utf16ToUtf8(StorePartitionName(i));
    }
    ModuleStoreClose(&store);
    return FwmoduleFail("export: the store \"" + Utf16ToUtf8(devices.front().storeName) + "\" has no partition " +
                        args[1] + " (it has:" + (names.empty() ? " none" : names) + ")");
  }
  const StorePartition& p = table.slots[slot];
  uint32_t sectorBytes = store.session.disk.geometry.sectorBytes;
  std::string image(uint64_t{p.count} * sectorBytes, '\0');
  bool ok = true;
  for (uint32_t done = 0; ok && done < p.count; done += kExportChunkSectors) {
    uint32_t count = std::min(kExportChunkSectors, p.count - done);
    ok = FlashDiskRead(&store.session.disk, p.start + done, count,
                       reinterpret_cast<uint8_t*>(image.data()) + uint64_t{done} * sectorBytes, &error);
  }
  ModuleStoreClose(&store);
  if (!ok || !AtomicWriteFile(args[2], image, &error)) return FwmoduleFail("export: " + error);
  return 0;
}

int FwmoduleList(const std::vector<std::string>& args) {
  if (args.size() != 2) return FwmoduleFail("ls: name the module directory and a folder such as \"\\Hard Disk\"");
  ModuleVolume volume;
  std::u16string path = Utf8ToUtf16(args[1]);
  std::string error;
  if (!ModuleVolumeOpen(args[0], path, &volume, &error)) return FwmoduleFail("ls: " + error);
  FatEntryInfo info;
  std::vector<FatEntryInfo> entries;
  FatResult result = FatStat(&volume.fat, volume.path, &info);
  if (result == FatResult::Ok && (info.attributes & kFatDirectory) != 0) {
    result = FatList(&volume.fat, volume.path, &entries);
  } else if (result == FatResult::Ok) {
    entries.push_back(info);
  }
  if (VolumeDone("ls", &volume, path, result) != 0) return 1;
  for (const FatEntryInfo& e : entries) PrintEntry(e);
  return 0;
}

int FwmodulePut(const std::vector<std::string>& args) {
  if (args.size() != 3) return FwmoduleFail("put: name the module directory, a host file and a path on a volume");
  std::string data, error;
  struct stat st {};
  if (::stat(args[1].c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadWholeFile(args[1], &data, &error)) {
    return FwmoduleFail("put: " + args[1] + " is not a file that can be read");
  }
  if (data.size() > kFatMaxFileBytes) return FwmoduleFail("put: " + args[1] + " is too large for a FAT volume");
  ModuleVolume volume;
  std::u16string path = Utf8ToUtf16(args[2]);
  if (!ModuleVolumeOpen(args[0], path, &volume, &error)) return FwmoduleFail("put: " + error);
  // Into a folder that exists, as cp does, under the host file's name.
  std::u16string target = volume.path;
  FatEntryInfo info;
  if (FatStat(&volume.fat, target, &info) == FatResult::Ok && (info.attributes & kFatDirectory) != 0) {
    if (!target.empty()) target += u'\\';
    target += LastComponent(Utf8ToUtf16(args[1]));
    path = volume.folder + u'\\' + target;
  }
  FatResult result = PutFile(&volume.fat, target, data, FileTimeFromHost(st.st_mtim));
  return VolumeDone("put", &volume, path, result);
}

int FwmoduleGet(const std::vector<std::string>& args) {
  if (args.size() != 3) return FwmoduleFail("get: name the module directory, a path on a volume and a host file");
  ModuleVolume volume;
  std::u16string path = Utf8ToUtf16(args[1]);
  std::string error;
  if (!ModuleVolumeOpen(args[0], path, &volume, &error)) return FwmoduleFail("get: " + error);
  FatEntryInfo info;
  std::string data;
  uint32_t done = 0;
  FatResult result = FatStat(&volume.fat, volume.path, &info);
  if (result == FatResult::Ok && (info.attributes & kFatDirectory) != 0) result = FatResult::IsDirectory;
  if (result == FatResult::Ok) {
    data.resize(info.size);
    result = FatRead(&volume.fat, volume.path, 0, reinterpret_cast<uint8_t*>(data.data()), info.size, &done);
    data.resize(done);
  }
  if (VolumeDone("get", &volume, path, result) != 0) return 1;

  std::string host = args[2];
  struct stat st {};
  if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // Into a folder under the file's own name, which the FAT code has
    // checked to be one component; a name it refused is not guessed at.
    if (info.nameRefused) {
      return FwmoduleFail("get: " + Utf16ToUtf8(path) + ": the volume names this file \"" + Utf16ToUtf8(info.shown) +
                          "\", which a FAT volume cannot hold; nothing written (name the host file to write it to)");
    }
    host += "/" + Utf16ToUtf8(info.name);
  }
  if (!AtomicWriteFile(host, data, &error)) return FwmoduleFail("get: " + error);
  timespec times[2] = {{0, UTIME_OMIT}, {}};
  uint64_t sinceEpoch = info.written / kFileTimeUnitsPerSecond;
  if (sinceEpoch >= static_cast<uint64_t>(kSecondsFrom1601To1970)) {
    times[1].tv_sec = static_cast<time_t>(sinceEpoch - kSecondsFrom1601To1970);
    ::utimensat(AT_FDCWD, host.c_str(), times, 0);
  }
  return 0;
}
