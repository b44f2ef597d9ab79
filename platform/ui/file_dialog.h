// The part of the file dialogs every backend shares: reading the
// OPENFILENAMEW record, judging what the user typed against its options, and
// the folder listing a chooser shows. Paths are the module's.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/backend.h"

// Splits a double-NUL filter list ("IMAGE files\0*.bin\0\0"). Stops after
// kMaxFilterUnits units when the list is not terminated.
constexpr size_t kMaxFilterUnits = 4096;
std::vector<UiFileFilter> FileDialogParseFilter(LPCWSTR filter);

enum class FileCheck : uint8_t {
  Accept,         // `path` is the answer
  Folder,         // `path` is a folder: the chooser goes there
  Problem,        // `message` says what is wrong; the chooser stays open
  AskOverwrite,   // `message` asks whether to replace `path`; yes accepts it
};

// Judges `input` (absolute, or relative to request.folder; "/" or "\"):
// the default extension is added to a name without one, then the options
// (path and file must exist, overwrite prompt) are applied.
FileCheck FileDialogCheck(const UiFileRequest& request, const std::u16string& input, std::u16string* path,
                          std::u16string* message);

// One entry of a chooser's folder listing.
struct FileDialogEntry {
  std::u16string name;
  bool folder = false;
};
// The folders and the files matching the request's current filter in
// `folder`, folders first, each group sorted without regard to case.
std::vector<FileDialogEntry> FileDialogList(const UiFileRequest& request, const std::u16string& folder);

// The folder above `folder` ("\" stays "\").
std::u16string FileDialogParent(const std::u16string& folder);
// `folder` and `name` joined with one backslash.
std::u16string FileDialogJoin(const std::u16string& folder, const std::u16string& name);

// Forgets the folder the last dialog ended in.
void FileDialogResetForTests();
