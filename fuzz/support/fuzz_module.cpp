#include "fuzz/support/fuzz_module.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/storage.h"
#include "tests/support/program_layers.h"

namespace {

namespace fs = std::filesystem;

// Files are compared a page at a time; a page that differs is searched for
// its exact bytes.
constexpr uint64_t kComparePage = 4096;
constexpr const char* kFlashFile = "flash.img";
constexpr const char* kLocksFolder = "locks";

struct Extent {
  uint64_t at = 0;
  std::vector<uint8_t> bytes;
};

// A file as made: its size and the parts that hold data (a sparse file's
// holes read as zeros and are not kept).
struct FileImage {
  uint64_t size = 0;
  std::vector<Extent> extents;
};

struct FuzzModuleState {
  std::string dir;
  std::map<std::string, FileImage> files;  // path inside the folder -> content as made
  std::vector<std::string> folders;
};

FuzzModuleState g_fuzz;

// The data parts of an open file, as the file system reports them.
std::vector<FuzzRange> DataParts(int fd, uint64_t size) {
  std::vector<FuzzRange> parts;
  uint64_t at = 0;
  while (at < size) {
    off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) break;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    uint64_t end = hole < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole), size);
    if (end <= static_cast<uint64_t>(data)) break;
    parts.push_back({static_cast<uint64_t>(data), end});
    at = end;
  }
  return parts;
}

bool ReadAt(int fd, uint64_t at, uint8_t* out, uint64_t length) {
  while (length != 0) {
    ssize_t n = ::pread(fd, out, length, static_cast<off_t>(at));
    if (n <= 0) return false;
    out += n;
    at += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

bool WriteAt(int fd, uint64_t at, const uint8_t* data, uint64_t length) {
  while (length != 0) {
    ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(at));
    if (n <= 0) return false;
    data += n;
    at += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

FileImage ReadImage(const std::string& path) {
  FileImage image;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) FuzzFail("cannot read %s", path.c_str());
  image.size = static_cast<uint64_t>(st.st_size);
  for (const FuzzRange& part : DataParts(fd, image.size)) {
    Extent e;
    e.at = part.from;
    e.bytes.resize(part.to - part.from);
    if (!ReadAt(fd, e.at, e.bytes.data(), e.bytes.size())) FuzzFail("cannot read %s", path.c_str());
    image.extents.push_back(std::move(e));
  }
  ::close(fd);
  return image;
}

void AddRange(std::vector<FuzzRange>* ranges, uint64_t from, uint64_t to) {
  if (!ranges->empty() && ranges->back().to >= from) {
    ranges->back().to = std::max(ranges->back().to, to);
  } else {
    ranges->push_back({from, to});
  }
}

// Exact differing bytes of `now` against `was` (null: zeros), page by page.
void CompareBytes(const uint8_t* now, const uint8_t* was, uint64_t at, uint64_t length,
                  std::vector<FuzzRange>* out) {
  static const uint8_t kZeros[kComparePage] = {};
  for (uint64_t done = 0; done < length; done += kComparePage) {
    uint64_t n = std::min(kComparePage, length - done);
    const uint8_t* old = was != nullptr ? was + done : kZeros;
    if (std::memcmp(now + done, old, n) == 0) continue;
    uint64_t first = 0, last = n;
    while (now[done + first] == old[first]) first++;
    while (now[done + last - 1] == old[last - 1]) last--;
    AddRange(out, at + done + first, at + done + last);
  }
}

// A file mapped for reading, kept from one comparison to the next: mapping
// the flash anew for each would fault in every page again.
struct View {
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t size = 0;
  int fd = -1;
  const uint8_t* bytes = nullptr;
};

void CloseView(View* v) {
  if (v->bytes != nullptr) ::munmap(const_cast<uint8_t*>(v->bytes), v->size);
  if (v->fd >= 0) ::close(v->fd);
  *v = View{};
}

// The file at `path` as it is now (a file replaced or resized since is
// mapped again); null when it cannot be opened.
const View* ViewOf(const std::string& path) {
  static std::map<std::string, View> views;
  View& v = views[path];
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    CloseView(&v);
    return nullptr;
  }
  if (v.fd >= 0 && v.device == st.st_dev && v.inode == st.st_ino && v.size == static_cast<uint64_t>(st.st_size)) {
    return &v;
  }
  CloseView(&v);
  v.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (v.fd < 0 || ::fstat(v.fd, &st) != 0) {
    CloseView(&v);
    return nullptr;
  }
  v.device = st.st_dev;
  v.inode = st.st_ino;
  v.size = static_cast<uint64_t>(st.st_size);
  if (v.size != 0) {
    void* mapped = ::mmap(nullptr, v.size, PROT_READ, MAP_SHARED, v.fd, 0);
    if (mapped == MAP_FAILED) FuzzFail("cannot map %s", path.c_str());
    v.bytes = static_cast<const uint8_t*>(mapped);
  }
  return &v;
}

// Where the file at `path` differs from `image`, holes reading as zeros; the
// whole of the larger when the sizes differ or the file cannot be read.
std::vector<FuzzRange> Differences(const std::string& path, const FileImage& image) {
  const View* view = ViewOf(path);
  if (view == nullptr || view->size != image.size) {
    uint64_t size = view == nullptr ? image.size : std::max(image.size, view->size);
    return {{0, std::max<uint64_t>(size, 1)}};
  }
  const uint8_t* now = view->bytes;
  std::vector<FuzzRange> found;
  for (const Extent& e : image.extents) CompareBytes(now + e.at, e.bytes.data(), e.at, e.bytes.size(), &found);
  // Data the file holds now where it had a hole must read as zeros.
  for (const FuzzRange& part : DataParts(view->fd, image.size)) {
    uint64_t at = part.from;
    for (const Extent& e : image.extents) {
      uint64_t end = e.at + e.bytes.size();
      if (end <= at) continue;
      if (e.at >= part.to) break;
      if (e.at > at) CompareBytes(now + at, nullptr, at, e.at - at, &found);
      at = end;
    }
    if (at < part.to) CompareBytes(now + at, nullptr, at, part.to - at, &found);
  }
  std::sort(found.begin(), found.end(), [](const FuzzRange& a, const FuzzRange& b) { return a.from < b.from; });
  std::vector<FuzzRange> changes;
  for (const FuzzRange& r : found) AddRange(&changes, r.from, r.to);
  return changes;
}

// Puts `ranges` of the file back as `image` holds them.
void PutBack(const std::string& path, const FileImage& image, const std::vector<FuzzRange>& ranges) {
  fs::create_directories(fs::path(path).parent_path());
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) FuzzFail("cannot write %s", path.c_str());
  struct stat st;
  bool sameSize = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == image.size;
  if (!sameSize) {
    // Rewritten whole, holes where it had them.
    if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(image.size)) != 0) {
      FuzzFail("cannot resize %s", path.c_str());
    }
    for (const Extent& e : image.extents) {
      if (!WriteAt(fd, e.at, e.bytes.data(), e.bytes.size())) FuzzFail("cannot write %s", path.c_str());
    }
    ::close(fd);
    return;
  }
  std::vector<uint8_t> zeros;
  for (const FuzzRange& r : ranges) {
    for (uint64_t at = r.from; at < r.to;) {
      auto e = std::find_if(image.extents.begin(), image.extents.end(),
                            [&](const Extent& x) { return at < x.at + x.bytes.size(); });
      bool inside = e != image.extents.end() && at >= e->at;
      uint64_t end = e == image.extents.end() ? r.to : std::min(r.to, inside ? e->at + e->bytes.size() : e->at);
      bool ok;
      if (inside) {
        ok = WriteAt(fd, at, e->bytes.data() + (at - e->at), end - at);
      } else {
        zeros.assign(end - at, 0);
        ok = WriteAt(fd, at, zeros.data(), zeros.size());
      }
      if (!ok) FuzzFail("cannot write %s", path.c_str());
      at = end;
    }
  }
  ::close(fd);
}

bool LeftOut(const fs::path& relative) { return *relative.begin() == kLocksFolder; }

// Files and folders of the module now, outside locks/.
void ListModule(std::vector<std::string>* files, std::vector<std::string>* folders) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(g_fuzz.dir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    // Paths under the folder as listed: canonical names would cost a look-up per component.
    fs::path relative = it->path().string().substr(g_fuzz.dir.size() + 1);
    if (LeftOut(relative)) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink()) continue;
    if (it->is_directory()) folders->push_back(relative.string());
    if (it->is_regular_file()) files->push_back(relative.string());
  }
}

std::string PathOf(const std::string& relative) { return g_fuzz.dir + "/" + relative; }

void RemoveTemp() {
  std::error_code ec;
  if (!g_fuzz.dir.empty()) fs::remove_all(g_fuzz.dir, ec);
}

}  // namespace

void FuzzFail(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("fuzz invariant: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputs("\n", stderr);
  va_end(args);
  std::abort();
}

void FuzzModuleMake(const char* board, const std::vector<std::string>& settings) {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/fwfuzz-" + board + ".XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) FuzzFail("cannot make %s", templ.c_str());
  g_fuzz.dir = templ;
  std::atexit(RemoveTemp);
  ModuleConfig config;
  std::string error;
  bool made = ModuleConfigForBoard(board, &config);
  for (const std::string& s : settings) made = made && ModuleConfigAssign(&config, s, &error);
  made = made && ModuleCreateFrom(g_fuzz.dir, config, true, &error);
  // The images the module comes with are not needed, and would be kept in memory.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ModuleRootPath(g_fuzz.dir) + "/USB HD/IMAGES", ec)) {
    fs::remove(entry.path(), ec);
  }
  if (!made || !PlatformAttachModule(g_fuzz.dir, false, &error)) FuzzFail("no module: %s", error.c_str());
  ClockSkipSleepsForTests(true);
  std::vector<std::string> files;
  ListModule(&files, &g_fuzz.folders);
  for (const std::string& f : files) g_fuzz.files[f] = ReadImage(PathOf(f));
}

const std::string& FuzzModuleDir() { return g_fuzz.dir; }

std::vector<FuzzRange> FuzzFlashChanges() { return Differences(PathOf(kFlashFile), g_fuzz.files.at(kFlashFile)); }

std::vector<std::string> FuzzFileChanges() {
  std::vector<std::string> files, folders, changed;
  ListModule(&files, &folders);
  for (const std::string& f : files) {
    if (f != kFlashFile && (!g_fuzz.files.count(f) || !Differences(PathOf(f), g_fuzz.files.at(f)).empty())) {
      changed.push_back(f);
    }
  }
  for (const auto& [f, image] : g_fuzz.files) {
    if (std::find(files.begin(), files.end(), f) == files.end()) changed.push_back(f);
  }
  for (const std::string& d : folders) {
    if (std::find(g_fuzz.folders.begin(), g_fuzz.folders.end(), d) == g_fuzz.folders.end()) changed.push_back(d);
  }
  return changed;
}

void FuzzModuleRestore() {
  ResetProgramLayersForTests();
  StorageResetForTests();
  PlatformDetachModule();
  std::vector<std::string> files, folders;
  ListModule(&files, &folders);
  std::error_code ec;
  for (const std::string& f : files) {
    if (!g_fuzz.files.count(f)) fs::remove(PathOf(f), ec);
  }
  for (const std::string& d : folders) {
    if (std::find(g_fuzz.folders.begin(), g_fuzz.folders.end(), d) == g_fuzz.folders.end()) {
      fs::remove_all(PathOf(d), ec);
    }
  }
  for (const std::string& d : g_fuzz.folders) fs::create_directories(PathOf(d), ec);
  for (const auto& [f, image] : g_fuzz.files) {
    std::vector<FuzzRange> changed = Differences(PathOf(f), image);
    if (!changed.empty()) PutBack(PathOf(f), image, changed);
  }
  std::string error;
  if (!PlatformAttachModule(g_fuzz.dir, false, &error)) FuzzFail("cannot attach again: %s", error.c_str());
}

std::u16string FuzzPlaceImage(const char* name, const uint8_t* data, size_t size) {
  std::string error;
  if (!BinImageStore(g_fuzz.dir, name, std::span<const uint8_t>(data, size), &error)) {
    FuzzFail("cannot place the image: %s", error.c_str());
  }
  std::u16string path = kModuleImagesPath;
  for (const char* c = name; *c != 0; c++) path.push_back(static_cast<char16_t>(*c));
  return path;
}
