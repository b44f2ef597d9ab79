// Finding and loading the Qt plug-in beside the running program.
#include "platform/ui/qt_plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace {

constexpr const char* kOwnExecutable = "/proc/self/exe";

// The folder of the running program, links resolved, so a program started
// through a link still finds the plug-in beside its real file.
bool ProgramFolder(std::string* folder, std::string* error) {
  char path[PATH_MAX];
  ssize_t length = ::readlink(kOwnExecutable, path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) {
    *error = "cannot find the program's own file";
    return false;
  }
  std::string own(path, static_cast<size_t>(length));
  *folder = own.substr(0, own.rfind('/') + 1);
  return true;
}

const UiQtPlugin* Load(std::string* error) {
  std::string folder;
  if (!ProgramFolder(&folder, error)) return nullptr;
  std::string file = folder + kUiQtPluginFile;
  // The plug-in binds all its own symbols at load (it is linked so): one
  // that does not fit the program is refused here, with a message, rather
  // than ending the run at its first window. Qt's own libraries still bind
  // lazily, as RTLD_NOW would not let them.
  // Never closed: Qt cannot be unloaded from a running process.
  void* handle = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = ::dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<UiQtPluginEntry>(::dlsym(handle, kUiQtPluginEntry));
  const UiQtPlugin* plugin = entry ? entry() : nullptr;
  if (plugin == nullptr) *error = file + ": not the program's Qt plug-in";
  return plugin;
}

}  // namespace

const UiQtPlugin* UiLoadQtPlugin(std::string* error) {
  static const UiQtPlugin* loaded = nullptr;
  if (loaded == nullptr) loaded = Load(error);
  return loaded;
}
