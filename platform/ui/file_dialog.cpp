// GetOpenFileNameW and GetSaveFileNameW over the backend's chooser.
//
// Without an initial folder the dialog starts where the path in lpstrFile
// points, else where the last file dialog of the process ended, else in
// \My Documents when the module has it, else at the root.
#include "platform/ui/file_dialog.h"

#include <algorithm>
#include <mutex>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/text.h"
#include "platform/ui/window_model.h"

namespace {

constexpr char16_t kSeparator = u'\\';
constexpr WORD kMaxOffsetValue = 0xFFFF;

struct FileDialogState {
  std::mutex lock;
  std::u16string lastFolder;
};

FileDialogState g_fileDialog;
thread_local DWORD t_commDlgError = 0;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool FolderExists(const std::u16string& folder) {
  DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The module path made of `parts`: "\a\b", or "\" for none.
std::u16string Compose(const ModulePathParts& parts) {
  std::u16string path;
  for (const std::u16string& c : parts.components) {
    path += kSeparator;
    path += c;
  }
  return path.empty() ? std::u16string(1, kSeparator) : path;
}

size_t NameStart(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? 0 : slash + 1;
}

// Where the extension's dot is in the name starting at `nameStart`, or npos.
size_t ExtensionDot(const std::u16string& path, size_t nameStart) {
  size_t dot = path.rfind(u'.');
  return dot == std::u16string::npos || dot < nameStart ? std::u16string::npos : dot;
}

bool WildcardMatch(const char16_t* pattern, const char16_t* text) {
  // Iterative * and ? matching without regard to case; backtracks only to the last star.
  const char16_t* star = nullptr;
  const char16_t* resume = nullptr;
  while (*text) {
    if (*pattern == u'*') {
      star = pattern++;
      resume = text;
    } else if (*pattern == u'?' || (*pattern && TextToLower(*pattern) == TextToLower(*text))) {
      pattern++;
      text++;
    } else if (star) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == u'*') pattern++;
  return *pattern == 0;
}

bool MatchesFilter(const UiFileRequest& request, const std::u16string& name) {
  if (request.filterIndex >= request.filters.size()) return true;
  for (const std::u16string& p : request.filters[request.filterIndex].patterns) {
    if (WildcardMatch(p.c_str(), name.c_str())) return true;
  }
  return false;
}

std::u16string StartFolder(const OPENFILENAMEW& ofn, const std::u16string& fileText) {
  if (ofn.lpstrInitialDir && ofn.lpstrInitialDir[0]) return std::u16string(ofn.lpstrInitialDir);
  size_t nameStart = NameStart(fileText);
  if (nameStart > 0) return nameStart == 1 ? fileText.substr(0, 1) : fileText.substr(0, nameStart - 1);
  {
    std::lock_guard<std::mutex> guard(g_fileDialog.lock);
    if (!g_fileDialog.lastFolder.empty()) return g_fileDialog.lastFolder;
  }
  if (FolderExists(u"\\My Documents")) return u"\\My Documents";
  return u"\\";
}

bool BuildRequest(const OPENFILENAMEW& ofn, bool save, UiFileRequest* request) {
  std::u16string fileText(ofn.lpstrFile, TextLengthBounded(ofn.lpstrFile, ofn.nMaxFile));
  request->save = save;
  request->title = ofn.lpstrTitle ? std::u16string(ofn.lpstrTitle) : std::u16string(save ? u"Save As" : u"Open");
  request->folder = StartFolder(ofn, fileText);
  request->fileName = fileText.substr(NameStart(fileText));
  request->filters = FileDialogParseFilter(ofn.lpstrFilter);
  request->filterIndex = ofn.nFilterIndex > 0 ? ofn.nFilterIndex - 1 : 0;
  if (request->filterIndex >= request->filters.size()) request->filterIndex = 0;
  request->flags = ofn.Flags;
  request->defaultExtension = ofn.lpstrDefExt ? std::u16string(ofn.lpstrDefExt) : std::u16string();
  request->readOnlyTicked = (ofn.Flags & OFN_READONLY) != 0;
  return true;
}

BOOL Fail(DWORD error) {
  t_commDlgError = error;
  return FALSE;
}

// Hands `path` back through the record.
BOOL Finish(OPENFILENAMEW* ofn, const UiFileRequest& request, const std::u16string& path) {
  if (path.size() + 1 > ofn->nMaxFile) {
    ofn->lpstrFile[0] = static_cast<WCHAR>(std::min<size_t>(path.size() + 1, kMaxOffsetValue));
    return Fail(FNERR_BUFFERTOOSMALL);
  }
  TextCopy(ofn->lpstrFile, ofn->nMaxFile, path.c_str());
  size_t nameStart = NameStart(path);
  size_t dot = ExtensionDot(path, nameStart);
  ofn->nFileOffset = static_cast<WORD>(std::min<size_t>(nameStart, kMaxOffsetValue));
  ofn->nFileExtension = static_cast<WORD>(std::min<size_t>(dot == std::u16string::npos ? path.size() : dot + 1,
                                                           kMaxOffsetValue));
  if (ofn->lpstrFileTitle && ofn->nMaxFileTitle > 0) {
    TextCopy(ofn->lpstrFileTitle, ofn->nMaxFileTitle, path.c_str() + nameStart);
  }
  ofn->nFilterIndex = static_cast<DWORD>(request.filterIndex + 1);
  ofn->Flags &= ~(OFN_READONLY | OFN_EXTENSIONDIFFERENT);
  if (request.readOnlyTicked && !(request.flags & OFN_HIDEREADONLY)) ofn->Flags |= OFN_READONLY;
  std::u16string extension = dot == std::u16string::npos ? std::u16string() : path.substr(dot + 1);
  if (!request.defaultExtension.empty() && !TextEqualNoCase(extension, request.defaultExtension)) {
    ofn->Flags |= OFN_EXTENSIONDIFFERENT;
  }
  if (!(request.flags & OFN_NOCHANGEDIR)) {
    std::lock_guard<std::mutex> guard(g_fileDialog.lock);
    g_fileDialog.lastFolder = nameStart <= 1 ? std::u16string(1, kSeparator) : path.substr(0, nameStart - 1);
  }
  t_commDlgError = 0;
  return TRUE;
}

BOOL RunFileDialog(OPENFILENAMEW* ofn, bool save) {
  t_commDlgError = 0;
  if (ofn == nullptr || ofn->lStructSize != sizeof(OPENFILENAMEW)) return Fail(CDERR_STRUCTSIZE);
  if (ofn->lpstrFile == nullptr || ofn->nMaxFile == 0) return Fail(CDERR_INITIALIZATION);
  const UiBackendOps* backend = UiBackend();
  if (!backend->ready()) return Fail(CDERR_INITIALIZATION);
  UiFileRequest request;
  BuildRequest(*ofn, save, &request);
  request.owner = UiBeginModal(ofn->hwndOwner);
  {
    auto lock = UiLock();
    request.serial = UiNextSerialLocked();
  }
  std::u16string path;
  bool chosen = backend->chooseFile(&request, &path);
  UiEndModal(request.owner);
  if (!chosen) return FALSE;
  return Finish(ofn, request, path);
}

}  // namespace

std::vector<UiFileFilter> FileDialogParseFilter(LPCWSTR filter) {
  std::vector<UiFileFilter> filters;
  if (filter == nullptr) return filters;
  size_t at = 0;
  for (;;) {
    size_t descriptionLength = TextLengthBounded(filter + at, kMaxFilterUnits - at);
    if (descriptionLength == 0 || at + descriptionLength >= kMaxFilterUnits) break;
    std::u16string description(filter + at, descriptionLength);
    at += descriptionLength + 1;
    size_t patternLength = TextLengthBounded(filter + at, kMaxFilterUnits - at);
    if (at + patternLength >= kMaxFilterUnits) break;
    UiFileFilter entry{description, {}};
    std::u16string patterns(filter + at, patternLength);
    size_t start = 0;
    while (start <= patterns.size()) {
      size_t end = patterns.find(u';', start);
      if (end == std::u16string::npos) end = patterns.size();
      std::u16string one = patterns.substr(start, end - start);
      one.erase(0, one.find_first_not_of(u' '));
      if (!one.empty()) entry.patterns.push_back(one);
      start = end + 1;
    }
    filters.push_back(entry);
    at += patternLength + 1;
    if (patternLength == 0) break;
  }
  return filters;
}

FileCheck FileDialogCheck(const UiFileRequest& request, const std::u16string& input, std::u16string* path,
                          std::u16string* message) {
  std::u16string typed = input;
  typed.erase(0, typed.find_first_not_of(u' '));
  typed.erase(typed.find_last_not_of(u' ') + 1);
  if (typed.empty()) {
    *message = u"Please give a file name.";
    return FileCheck::Problem;
  }
  std::u16string full = IsSeparator(typed[0]) ? typed : FileDialogJoin(request.folder, typed);
  ModulePathParts parts;
  if (!ModulePathParse(full.c_str(), kResolveNormal, &parts)) {
    *message = typed + u"\nThe file name is not valid.";
    return FileCheck::Problem;
  }
  *path = Compose(parts);
  if (parts.components.empty() || FolderExists(*path)) return FileCheck::Folder;
  size_t nameStart = NameStart(*path);
  bool trailingSeparator = IsSeparator(typed.back());
  if (trailingSeparator) {
    *message = *path + u"\nPath does not exist.\nPlease verify the correct path was given.";
    return FileCheck::Problem;
  }
  if (!request.defaultExtension.empty() && ExtensionDot(*path, nameStart) == std::u16string::npos) {
    *path += u'.';
    *path += request.defaultExtension;
  }
  std::u16string folder = nameStart <= 1 ? std::u16string(1, kSeparator) : path->substr(0, nameStart - 1);
  bool mustExist = (request.flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) != 0;
  if (mustExist && !FolderExists(folder)) {
    *message = folder + u"\nPath does not exist.\nPlease verify the correct path was given.";
    return FileCheck::Problem;
  }
  bool exists = GetFileAttributesW(path->c_str()) != INVALID_FILE_ATTRIBUTES;
  if ((request.flags & OFN_FILEMUSTEXIST) && !exists) {
    *message = path->substr(nameStart) + u"\nFile not found.\nPlease verify the correct file name was given.";
    return FileCheck::Problem;
  }
  if (request.save && (request.flags & OFN_OVERWRITEPROMPT) && exists) {
    *message = *path + u" already exists.\nDo you want to replace it?";
    return FileCheck::AskOverwrite;
  }
  return FileCheck::Accept;
}

std::vector<FileDialogEntry> FileDialogList(const UiFileRequest& request, const std::u16string& folder) {
  std::vector<FileDialogEntry> entries;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(FileDialogJoin(folder, u"*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    FileDialogEntry entry{data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    if (entry.folder || MatchesFilter(request, entry.name)) entries.push_back(entry);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  std::sort(entries.begin(), entries.end(), [](const FileDialogEntry& a, const FileDialogEntry& b) {
    if (a.folder != b.folder) return a.folder;
    return TextCompareNoCase(a.name.c_str(), b.name.c_str()) < 0;
  });
  return entries;
}

std::u16string FileDialogParent(const std::u16string& folder) {
  ModulePathParts parts;
  if (!ModulePathParse(folder.c_str(), kResolveNormal, &parts) || parts.components.empty()) {
    return std::u16string(1, kSeparator);
  }
  parts.components.pop_back();
  return Compose(parts);
}

std::u16string FileDialogJoin(const std::u16string& folder, const std::u16string& name) {
  std::u16string joined = folder.empty() ? std::u16string(1, kSeparator) : folder;
  if (!IsSeparator(joined.back())) joined += kSeparator;
  size_t skip = 0;
  while (skip < name.size() && IsSeparator(name[skip])) skip++;
  return joined + name.substr(skip);
}

BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) { return RunFileDialog(ofn, false); }
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn) { return RunFileDialog(ofn, true); }
DWORD CommDlgExtendedError() { return t_commDlgError; }

void FileDialogResetForTests() {
  std::lock_guard<std::mutex> guard(g_fileDialog.lock);
  g_fileDialog.lastFolder.clear();
}
