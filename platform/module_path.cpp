#include "platform/module_path.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr WCHAR kBackslash = u'\\';
constexpr WCHAR kSlash = u'/';
constexpr WCHAR kFirstPrintable = 0x20;
constexpr std::u16string_view kInvalidNameCharacters = u"<>:\"|";
constexpr std::u16string_view kWildcards = u"*?";
constexpr std::u16string_view kCurrentFolder = u".";
constexpr std::u16string_view kParentFolder = u"..";
constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kSurrogateLast = 0xDFFF;

bool IsSeparator(WCHAR c) { return c == kBackslash || c == kSlash; }
bool IsHighSurrogate(WCHAR c) { return c >= kHighSurrogateFirst && c < kLowSurrogateFirst; }
bool IsLowSurrogate(WCHAR c) { return c >= kLowSurrogateFirst && c <= kSurrogateLast; }

// A name the host would store under another spelling (an unpaired surrogate
// would come back as U+FFFD) cannot be created "as given", so it is refused.
bool SurrogatesPaired(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i])) {
      if (i + 1 >= text.size() || !IsLowSurrogate(text[i + 1])) return false;
      ++i;
    } else if (IsLowSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

bool ComponentValid(std::u16string_view component, bool wildcardsAllowed) {
  for (WCHAR c : component) {
    if (c < kFirstPrintable || kInvalidNameCharacters.find(c) != std::u16string_view::npos) return false;
    if (!wildcardsAllowed && kWildcards.find(c) != std::u16string_view::npos) return false;
  }
  return SurrogatesPaired(component);
}

// Reads the folder the descriptor names from its start, without moving the
// caller's descriptor.
DIR* OpenListing(int dirFd) {
  int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) ::close(fd);
  return dir;
}

// Opens the folder `hostName` inside `dirFd` without following a link.
int OpenFolder(int dirFd, const std::string& hostName) {
  int fd = ::openat(dirFd, hostName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // ENOTDIR comes for a plain file and, with O_NOFOLLOW, for a link.
    int error = errno;
    HostEntry entry{};
    if (error == ENOTDIR && HostStatAt(dirFd, hostName.c_str(), &entry) && S_ISLNK(entry.mode)) error = ELOOP;
    SetLastHostError(error, ERROR_PATH_NOT_FOUND);
  }
  return fd;
}

// Only files and folders are visible to the module; links might lead out of
// the object store and devices or fifos might hang or act on a read.
bool EntryUsable(const HostEntry& entry) { return HostEntryIsFile(entry) || HostEntryIsFolder(entry); }

int OpenObjectStoreRoot() {
  const Module* module = PlatformModule();
  if (module == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return -1;
  }
  int fd = ::open(ModuleRootPath(module->dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) SetLastHostError(errno, ERROR_PATH_NOT_FOUND);
  return fd;
}

}  // namespace

ResolvedPath::~ResolvedPath() {
  if (dirFd >= 0) ::close(dirFd);
}

bool ModulePathParse(const WCHAR* path, uint32_t flags, ModulePathParts* parts) {
  parts->components.clear();
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  size_t length = TextLengthBounded(path, MAX_PATH);
  if (length >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (length == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::u16string_view text(path, length);
  std::vector<std::u16string_view> raw;
  for (size_t start = 0; start <= length;) {
    size_t end = start;
    while (end < length && !IsSeparator(text[end])) ++end;
    if (end > start) raw.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  bool pattern = (flags & kResolvePattern) != 0;
  // Every component is checked before ".." is applied, so a bad name never
  // slips through by being cancelled out.
  for (size_t i = 0; i < raw.size(); ++i) {
    if (!ComponentValid(raw[i], pattern && i + 1 == raw.size())) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
  }
  for (std::u16string_view component : raw) {
    if (component == kCurrentFolder) continue;
    if (component == kParentFolder) {
      if (parts->components.empty()) {
        parts->components.clear();
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
      }
      parts->components.pop_back();
      continue;
    }
    if (Utf16ToUtf8(component).size() > NAME_MAX) {
      parts->components.clear();
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    parts->components.emplace_back(component);
  }
  return true;
}

bool ModuleDirList(int dirFd, std::vector<std::string>* names) {
  names->clear();
  DIR* dir = OpenListing(dirFd);
  if (dir == nullptr) {
    SetLastHostError(errno, ERROR_PATH_NOT_FOUND);
    return false;
  }
  int error = 0;
  for (;;) {
    // readdir tells the end from a failure only through errno.
    errno = 0;
    const dirent* item = ::readdir(dir);
    if (item == nullptr) {
      error = errno;
      break;
    }
    std::string_view name(item->d_name);
    if (name == "." || name == "..") continue;
    // A host name that is not valid UTF-8 has no spelling on the module.
    if (Utf16ToUtf8(Utf8ToUtf16(name)) != name) continue;
    names->emplace_back(name);
  }
  ::closedir(dir);
  if (error != 0) {
    SetLastHostError(error, ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

bool ModuleDirFind(int dirFd, const std::u16string& name, std::string* hostName, HostEntry* entry) {
  std::string exact = Utf16ToUtf8(name);
  if (HostStatAt(dirFd, exact.c_str(), entry)) {
    *hostName = exact;
    return true;
  }
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  std::vector<std::string> names;
  if (!ModuleDirList(dirFd, &names)) return false;
  std::sort(names.begin(), names.end());
  for (const std::string& candidate : names) {
    if (!TextEqualNoCase(Utf8ToUtf16(candidate), name)) continue;
    // The entry may vanish between listing and looking; try the next one.
    if (HostStatAt(dirFd, candidate.c_str(), entry)) {
      *hostName = candidate;
      return true;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}

bool ModulePathResolve(const WCHAR* path, uint32_t flags, ResolvedPath* out) {
  ModulePathParts parts;
  if (!ModulePathParse(path, flags, &parts)) return false;

  // This is the seam for the flash disk's mounted volumes ("\Hard Disk" ...):
  // a mount table consulted with the first component will hand such paths to
  // the module's own file system code before the object store is looked at.
  int dirFd = OpenObjectStoreRoot();
  if (dirFd < 0) return false;
  const std::vector<std::u16string>& components = parts.components;
  if (components.empty()) {
    out->dirFd = dirFd;
    out->isRoot = true;
    out->exists = true;
    if (!HostStatFd(dirFd, &out->entry)) return false;
    return true;
  }

  for (size_t i = 0; i + 1 < components.size(); ++i) {
    std::string hostName;
    HostEntry entry{};
    if (!ModuleDirFind(dirFd, components[i], &hostName, &entry)) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_PATH_NOT_FOUND);
      ::close(dirFd);
      return false;
    }
    if (!HostEntryIsFolder(entry)) {
      SetLastError(HostEntryIsFile(entry) ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
      ::close(dirFd);
      return false;
    }
    // The open is the check that counts: it refuses a link even if the
    // folder was swapped for one after we looked.
    int next = OpenFolder(dirFd, hostName);
    ::close(dirFd);
    if (next < 0) return false;
    dirFd = next;
  }

  out->dirFd = dirFd;
  out->givenName = components.back();
  out->hostName = Utf16ToUtf8(out->givenName);
  if (flags & kResolvePattern) return true;
  if (ModuleDirFind(dirFd, out->givenName, &out->hostName, &out->entry)) {
    if (!EntryUsable(out->entry)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    out->exists = true;
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }
  return true;
}
