#include "platform/open_files.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"

namespace {

struct OpenFilesState {
  std::mutex lock;
  std::vector<OpenFile*> files;
};

OpenFilesState g_openFiles;

// One side asks for an access the other does not share.
bool Denies(const OpenFile& holder, const OpenFile& asker) {
  if ((asker.access & GENERIC_READ) && !(holder.share & FILE_SHARE_READ)) return true;
  if ((asker.access & GENERIC_WRITE) && !(holder.share & FILE_SHARE_WRITE)) return true;
  return false;
}

}  // namespace

bool OpenFilesAdd(OpenFile* file) {
  std::lock_guard<std::mutex> guard(g_openFiles.lock);
  for (const OpenFile* other : g_openFiles.files) {
    if (other->dev != file->dev || other->ino != file->ino) continue;
    // A handle that neither reads nor writes takes no part in sharing.
    if (file->access == 0 || other->access == 0) continue;
    if (Denies(*other, *file) || Denies(*file, *other)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return false;
    }
  }
  g_openFiles.files.push_back(file);
  return true;
}

void OpenFilesRemove(OpenFile* file) {
  std::lock_guard<std::mutex> guard(g_openFiles.lock);
  auto& files = g_openFiles.files;
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
}

bool OpenFilesContain(uint64_t dev, uint64_t ino) {
  std::lock_guard<std::mutex> guard(g_openFiles.lock);
  return std::any_of(g_openFiles.files.begin(), g_openFiles.files.end(),
                     [&](const OpenFile* f) { return f->dev == dev && f->ino == ino; });
}

void OpenFilesReset() {
  std::lock_guard<std::mutex> guard(g_openFiles.lock);
  g_openFiles.files.clear();
}
