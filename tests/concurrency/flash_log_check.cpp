#include "tests/concurrency/flash_log_check.h"

#include <cstdlib>
#include <map>

#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "module/object_name.h"
#include "module/registry_persist.h"

SequenceSplit FindSplitSequence(const std::vector<FlashLogRecord>& log) {
  struct Writer {
    bool inside = false;    // its last write left a sequence open
    uint32_t intruder = 0;  // who wrote since, while it was open
  };
  std::map<uint32_t, Writer> writers;
  for (size_t i = 0; i < log.size(); i++) {
    const FlashLogRecord& r = log[i];
    Writer& self = writers[r.pid];
    bool goesOn = self.inside && (r.flags & kFlashLogIdleBefore) == 0;
    if (goesOn && self.intruder != 0) return SequenceSplit{true, i, r.pid, self.intruder};
    if (!goesOn) self.intruder = 0;
    self.inside = (r.flags & kFlashLogIdleAfter) == 0;
    for (auto& [pid, other] : writers) {
      if (pid != r.pid && other.inside && other.intruder == 0) other.intruder = r.pid;
    }
  }
  return SequenceSplit{};
}

pid_t FlashLockOwner(const std::string& moduleDir) {
  std::string record, error;
  // The owner writes "pid tid" into the lock file and empties it on release.
  if (!ReadWholeFile(ModuleLocksPath(moduleDir) + "/" + ModuleObjectFileName(kModuleFlashLockName), &record, &error)) {
    return 0;
  }
  return static_cast<pid_t>(std::strtol(record.c_str(), nullptr, 10));
}
