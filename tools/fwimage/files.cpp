// fwimage files: a file-level stream made from a host folder, so that files
// can be shipped in an image and land on the module's flash disk.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "module/bin_image_builder.h"
#include "module/registry_store.h"
#include "module/storage_manager.h"
#include "tools/common/file_time.h"
#include "tools/fwimage/commands.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeReadOnly = 0x01;

bool Entry(const fs::path& host, const std::u16string& path, FsFileEntry* entry, std::string* error) {
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) {
    *error = "cannot look at " + host.string();
    return false;
  }
  entry->path = path;
  bool folder = S_ISDIR(st.st_mode);
  entry->attributes = folder ? kAttributeDirectory : kAttributeArchive;
  if ((st.st_mode & S_IWUSR) == 0) entry->attributes |= kAttributeReadOnly;
  entry->written = FileTimeFromHost(st.st_mtim);
  entry->accessed = FileTimeFromHost(st.st_atim);
  entry->created = entry->written;  // hosts rarely keep a creation time
  return folder || BinImageReadFile(host.string(), &entry->data, error);
}

// The folder's entries in name order, each folder before what it holds.
bool Walk(const fs::path& host, const std::u16string& path, std::vector<FsFileEntry>* files, std::string* error) {
  std::error_code ec;
  std::vector<fs::path> children;
  for (const auto& child : fs::directory_iterator(host, ec)) children.push_back(child.path());
  if (ec) {
    *error = "cannot read the folder " + host.string();
    return false;
  }
  std::sort(children.begin(), children.end());
  for (const fs::path& child : children) {
    FsFileEntry entry;
    std::u16string childPath = path + u"\\" + child.filename().u16string();
    if (!Entry(child, childPath, &entry, error)) return false;
    bool folder = (entry.attributes & kAttributeDirectory) != 0;
    files->push_back(std::move(entry));
    if (folder && !Walk(child, childPath, files, error)) return false;
  }
  return true;
}

// The flash disk driver's region of the module in `dir`, as a backup there
// would record it.
bool TakeModuleRegion(const std::string& dir, FsStreamSpec* spec, std::string* error) {
  RegistryData live;
  if (!RegistryLoadLive(dir, &live, error)) return false;
  for (std::u16string_view key : {u"Drivers\\BuiltIn\\StrataFMD", u"Drivers\\BlockDevice\\StrataFMD"}) {
    const RegKey* driver = RegistryFindKey(live, key);
    FlashDiskGeometry geometry;
    if (driver != nullptr && StoreDriverGeometry(*driver, &geometry)) {
      spec->memBase = geometry.base;
      spec->memLen = geometry.length;
      return true;
    }
  }
  *error = dir + " has no flash disk";
  return false;
}

}  // namespace

int FwimageFiles(const std::vector<std::string>& args) {
  if (args.size() < 2) return FwimageFail("files: name the output file and the host folder");
  std::string out = args[0];
  fs::path folder = args[1];
  FsStreamSpec spec;
  spec.type = kFsStreamFiles;
  spec.storePartitions = 1;
  FsPartitionEntry partition;
  for (size_t i = 2; i < args.size(); i++) {
    bool hasValue = i + 1 < args.size();
    if (args[i] == "--volume" && hasValue) {
      partition.volume = fs::path(args[++i]).u16string();
    } else if (args[i] == "--module" && hasValue) {
      std::string error;
      if (!TakeModuleRegion(args[++i], &spec, &error)) return FwimageFail("files: " + error);
    } else if (args[i] == "--mem-base" && hasValue) {
      if (!FwimageNumber(args[++i], &spec.memBase)) return FwimageFail("files: --mem-base wants a number");
    } else if (args[i] == "--mem-len" && hasValue) {
      if (!FwimageNumber(args[++i], &spec.memLen)) return FwimageFail("files: --mem-len wants a number");
    } else {
      return FwimageFail("files: '" + args[i] + "' is not an option or lacks its value (see fwimage --help)");
    }
  }
  // The profile's folder is the volume's name without its separator.
  spec.folder = partition.volume.substr(partition.volume.find_first_not_of(u'\\'));
  std::string error;
  FsFileEntry root;
  if (!Entry(folder, partition.volume, &root, &error)) return FwimageFail("files: " + error);
  if ((root.attributes & kAttributeDirectory) == 0) return FwimageFail("files: " + folder.string() + " is no folder");
  partition.files.push_back(root);
  if (!Walk(folder, partition.volume, &partition.files, &error)) return FwimageFail("files: " + error);
  for (const FsFileEntry& f : partition.files) partition.usedBytes += static_cast<uint32_t>(f.data.size());
  FsStreamChunk chunk{spec.memBase, {}};
  if (!FsFilesChunkBuild({partition}, &chunk.data, &error)) return FwimageFail("files: " + error);
  spec.chunks.push_back(std::move(chunk));
  std::vector<uint8_t> bytes;
  if (!FsStreamBuild(spec, &bytes, &error)) return FwimageFail("files: " + error);
  std::string written;
  if (!BinImageWriteFile(out, bytes, &written)) return FwimageFail(written);
  std::printf("%s: %zu bytes, %zu entries\n", out.c_str(), bytes.size(), partition.files.size());
  return kFwimageOk;
}
