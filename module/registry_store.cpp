#include "module/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "module/registry_text.h"

namespace {

constexpr char16_t kSeparator = u'\\';
constexpr char16_t kFirstPrintable = 0x20;
constexpr char16_t kDelete = 0x7F;
constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kSurrogateEnd = 0xE000;
constexpr std::string_view kLockSuffix = ".lock";

// ASCII and Latin-1 letters fold to lower case; registry names on the module
// are plain ASCII in practice, and this keeps module/ free of the platform's
// text tables.
char16_t FoldCase(char16_t c) {
  constexpr char16_t kLatin1UpperFirst = 0xC0, kLatin1UpperLast = 0xDE, kMultiplySign = 0xD7;
  constexpr char16_t kLatin1LowerOffset = 0x20;
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c - u'A' + u'a');
  if (c >= kLatin1UpperFirst && c <= kLatin1UpperLast && c != kMultiplySign) {
    return static_cast<char16_t>(c + kLatin1LowerOffset);
  }
  return c;
}

// Calls `fn` with each non-empty component of `path`.
template <typename Fn>
void ForEachComponent(std::u16string_view path, Fn fn) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(kSeparator, start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) fn(path.substr(start, end - start));
    start = end + 1;
  }
}

bool ComponentValid(std::u16string_view name) {
  if (name.empty() || name.size() > kRegistryMaxKeyName) return false;
  for (size_t i = 0; i < name.size(); i++) {
    char16_t c = name[i];
    if (c < kFirstPrintable || c == kDelete) return false;
    if (c >= kHighSurrogateFirst && c < kLowSurrogateFirst) {
      if (i + 1 >= name.size() || name[i + 1] < kLowSurrogateFirst || name[i + 1] >= kSurrogateEnd) return false;
      i++;
    } else if (c >= kLowSurrogateFirst && c < kSurrogateEnd) {
      return false;
    }
  }
  return true;
}

// `path` lies strictly below `parent` (case-insensitive); the root is every
// key's ancestor.
bool IsBelow(std::u16string_view path, std::u16string_view parent) {
  if (parent.empty()) return !path.empty();
  return path.size() > parent.size() && path[parent.size()] == kSeparator &&
         RegistryNameEqual(path.substr(0, parent.size()), parent);
}

std::u16string Folded(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldCase(c);
  return folded;
}

// Where the index keeps a value: under its key's path, which no value name
// can run into (a path holds no NUL).
std::u16string ValueSlot(std::u16string_view keyPath, std::u16string_view name) {
  return Folded(keyPath) + u'\0' + Folded(name);
}

size_t FindKeyIndex(const RegistryData& data, std::u16string_view normalized, const RegistryIndex* index = nullptr) {
  if (index != nullptr) {
    auto found = index->keys.find(Folded(normalized));
    return found == index->keys.end() ? data.keys.size() : found->second;
  }
  for (size_t i = 0; i < data.keys.size(); i++) {
    if (RegistryNameEqual(data.keys[i].path, normalized)) return i;
  }
  return data.keys.size();
}

std::u16string Normalize(std::u16string_view path) { return RegistryJoinPath(path, u""); }

// The exclusive lock of the live file: an flock on a file beside it, which
// excludes other processes and other threads of this one alike, and goes
// away with the process if it dies holding it.
int LockLive(const std::string& moduleDir, std::string* error) {
  std::string path = RegistryLockPath(moduleDir);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    *error = "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

void UnlockLive(int fd) { ::close(fd); }

// Registry text parsed before, by the file it was read from: every
// registry call and every storage call reads the live registry (and the
// device table), and parsing costs far more than looking at the file. Each
// file stays open, so its inode cannot be freed and reused by another file
// while it is known here: writers replace these files by rename, so the same
// inode with the same size and times still holds the same text. A
// process-wide cache keyed by path, not module state.
constexpr size_t kParsedFiles = 4;  // the live registry and device table of a module or two

struct ParsedFile {
  std::string path;
  int fd = -1;
  struct stat file = {};
  RegistryData data;
};

struct ParsedFileCache {
  std::mutex lock;
  std::vector<ParsedFile> files;  // the most recently parsed last
};

ParsedFileCache g_parsed;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim) &&
         SameTime(a.st_ctim, b.st_ctim);
}

// `now`: what the path names at present.
bool ParsedBefore(const std::string& path, const struct stat& now, RegistryData* data) {
  std::lock_guard<std::mutex> guard(g_parsed.lock);
  for (const ParsedFile& p : g_parsed.files) {
    if (p.path != path) continue;
    if (!SameFile(p.file, now)) return false;
    *data = p.data;
    return true;
  }
  return false;
}

// Takes over `fd`, the descriptor the parsed text was read from; `file` is
// how it stood before the read, so a change made while reading shows.
void KeepParsed(const std::string& path, int fd, const struct stat& file, const RegistryData& data) {
  ParsedFile fresh = {path, fd, file, data};
  std::lock_guard<std::mutex> guard(g_parsed.lock);
  std::vector<ParsedFile>& files = g_parsed.files;
  for (auto it = files.begin(); it != files.end();) {
    bool drop = it->path == path || (files.size() == kParsedFiles && it == files.begin());
    if (!drop) {
      ++it;
      continue;
    }
    ::close(it->fd);
    it = files.erase(it);
  }
  files.push_back(std::move(fresh));
}

}  // namespace

bool RegistryNameEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool RegistryKeyPathValid(std::u16string_view path) {
  if (path.empty()) return true;
  size_t start = 0;
  for (size_t depth = 1; depth <= kRegistryMaxDepth; depth++) {
    size_t end = path.find(kSeparator, start);
    if (end == std::u16string_view::npos) return ComponentValid(path.substr(start));
    if (!ComponentValid(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return false;
}

std::u16string RegistryJoinPath(std::u16string_view base, std::u16string_view sub) {
  std::u16string joined;
  auto add = [&](std::u16string_view component) {
    if (!joined.empty()) joined.push_back(kSeparator);
    joined.append(component);
  };
  ForEachComponent(base, add);
  ForEachComponent(sub, add);
  return joined;
}

RegKey* RegistryFindKey(RegistryData* data, std::u16string_view path) {
  size_t i = FindKeyIndex(*data, Normalize(path));
  return i < data->keys.size() ? &data->keys[i] : nullptr;
}

const RegKey* RegistryFindKey(const RegistryData& data, std::u16string_view path) {
  size_t i = FindKeyIndex(data, Normalize(path));
  return i < data.keys.size() ? &data.keys[i] : nullptr;
}

bool RegistryKeyExists(const RegistryData& data, std::u16string_view path) {
  std::u16string normalized = Normalize(path);
  return normalized.empty() || FindKeyIndex(data, normalized) < data.keys.size();
}

RegKey* RegistryCreateKey(RegistryData* data, std::u16string_view path, bool* created, RegistryIndex* index) {
  *created = false;
  std::u16string normalized = Normalize(path);
  if (!RegistryKeyPathValid(normalized)) return nullptr;
  if (normalized.empty()) {
    size_t root = FindKeyIndex(*data, normalized, index);
    if (root < data->keys.size()) return &data->keys[root];
    data->keys.insert(data->keys.begin(), RegKey{});
    if (index != nullptr) {
      for (auto& [name, position] : index->keys) position++;
      index->keys[u""] = 0;
    }
    return &data->keys.front();
  }
  size_t at = FindKeyIndex(*data, normalized, index);
  if (at < data->keys.size()) return &data->keys[at];
  // The deepest level that exists is looked for from the key up: text lists
  // parents before children, so that is mostly the parent, and a deep key is
  // not walked down from the root once for each of its levels.
  std::u16string parentPath;
  size_t known = normalized.size();
  while (known != 0) {
    known = normalized.rfind(kSeparator, known - 1);
    if (known == std::u16string::npos) {
      known = 0;
      break;
    }
    size_t parent = FindKeyIndex(*data, std::u16string_view(normalized).substr(0, known), index);
    if (parent < data->keys.size()) {
      parentPath = data->keys[parent].path;
      known++;
      break;
    }
  }
  // Each missing level is added under its parent's spelling, so a key
  // created as "drivers\X" beside an existing "Drivers" stays "Drivers\X".
  ForEachComponent(std::u16string_view(normalized).substr(known), [&](std::u16string_view component) {
    std::u16string candidate = parentPath.empty() ? std::u16string(component)
                                                  : parentPath + kSeparator + std::u16string(component);
    at = FindKeyIndex(*data, candidate, index);
    if (at == data->keys.size()) {
      data->keys.push_back(RegKey{candidate, {}});
      if (index != nullptr) index->keys[Folded(candidate)] = at;
      *created = true;
    } else {
      *created = false;
    }
    parentPath = data->keys[at].path;
  });
  return &data->keys[at];
}

bool RegistryDeleteKey(RegistryData* data, std::u16string_view path) {
  std::u16string normalized = Normalize(path);
  if (normalized.empty() || FindKeyIndex(*data, normalized) == data->keys.size()) return false;
  std::erase_if(data->keys, [&](const RegKey& key) {
    return RegistryNameEqual(key.path, normalized) || IsBelow(key.path, normalized);
  });
  return true;
}

bool RegistrySubkeyName(const RegistryData& data, std::u16string_view path, size_t index, std::u16string* name) {
  std::u16string parent = Normalize(path);
  size_t seen = 0;
  for (const RegKey& key : data.keys) {
    if (!IsBelow(key.path, parent)) continue;
    std::u16string_view rest = std::u16string_view(key.path).substr(parent.empty() ? 0 : parent.size() + 1);
    if (rest.find(kSeparator) != std::u16string_view::npos) continue;
    if (seen++ == index) {
      *name = rest;
      return true;
    }
  }
  return false;
}

RegValue* RegistryFindValue(RegKey* key, std::u16string_view name) {
  for (RegValue& v : key->values) {
    if (RegistryNameEqual(v.name, name)) return &v;
  }
  return nullptr;
}

const RegValue* RegistryFindValue(const RegKey& key, std::u16string_view name) {
  for (const RegValue& v : key.values) {
    if (RegistryNameEqual(v.name, name)) return &v;
  }
  return nullptr;
}

void RegistrySetValue(RegKey* key, std::u16string_view name, uint32_t type, const uint8_t* bytes, size_t size,
                      RegistryIndex* index) {
  RegValue* value = nullptr;
  if (index != nullptr) {
    auto [slot, added] = index->values.try_emplace(ValueSlot(key->path, name), key->values.size());
    if (!added) value = &key->values[slot->second];
  } else {
    value = RegistryFindValue(key, name);
  }
  if (value == nullptr) {
    key->values.push_back(RegValue{std::u16string(name), type, {}});
    value = &key->values.back();
  }
  value->type = type;
  value->data.assign(bytes, bytes + size);
}

bool RegistryDeleteValue(RegKey* key, std::u16string_view name) {
  return std::erase_if(key->values, [&](const RegValue& v) { return RegistryNameEqual(v.name, name); }) > 0;
}

std::string RegistryLockPath(const std::string& moduleDir) {
  return ModuleRegistryPath(moduleDir) + std::string(kLockSuffix);
}

bool RegistryParseFile(const std::string& path, const struct stat* now, RegistryData* data, bool* unread,
                       std::string* error) {
  *unread = false;
  if (now != nullptr && ParsedBefore(path, *now, data)) return true;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *unread = true;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat opened;
  bool known = ::fstat(fd, &opened) == 0;
  std::string text;
  bool ok = ReadWholeFd(fd, path, &text, error);
  *unread = !ok;
  if (ok) ok = RegistryFromText(text, data, error);
  if (ok && known) {
    KeepParsed(path, fd, opened, *data);
  } else {
    ::close(fd);
  }
  return ok;
}

bool RegistryLoadLive(const std::string& moduleDir, RegistryData* data, std::string* error) {
  std::string path = ModuleRegistryPath(moduleDir);
  struct stat st;
  // The file is only ever replaced by rename, never removed, so a missing
  // file is a module that has no registry yet.
  bool found = ::stat(path.c_str(), &st) == 0;
  if (!found && errno == ENOENT) {
    *data = RegistryData{};
    return true;
  }
  bool unread = false;
  if (RegistryParseFile(path, found ? &st : nullptr, data, &unread, error)) return true;
  if (!unread) *error = path + ": " + *error;
  return false;
}

bool RegistryUpdateLive(const std::string& moduleDir, RegistryEdit edit, void* context, std::string* error) {
  int fd = LockLive(moduleDir, error);
  if (fd < 0) return false;
  RegistryData data;
  bool ok = RegistryLoadLive(moduleDir, &data, error);
  if (ok && edit(&data, context)) {
    ok = AtomicWriteFile(ModuleRegistryPath(moduleDir), RegistryToText(data), error);
  }
  UnlockLive(fd);
  return ok;
}

bool RegistryReplaceLive(const std::string& moduleDir, const RegistryData& data, std::string* error) {
  int fd = LockLive(moduleDir, error);
  if (fd < 0) return false;
  bool ok = AtomicWriteFile(ModuleRegistryPath(moduleDir), RegistryToText(data), error);
  UnlockLive(fd);
  return ok;
}
