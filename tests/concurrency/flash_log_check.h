// What the flash lock must guarantee, read from a module's flash log: no
// process's command sequence (from a write with the flash at rest to the
// write that brings it back to rest) has another process's write inside it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "module/flash_log.h"

struct SequenceSplit {
  bool found = false;
  size_t at = 0;          // the record that went on with a split sequence
  uint32_t pid = 0;       // whose sequence it was
  uint32_t intruder = 0;  // who wrote inside it
};

// A process that died inside a sequence never goes on with it, so that one
// does not count as split.
SequenceSplit FindSplitSequence(const std::vector<FlashLogRecord>& log);

// The process the module's flash lock names as its owner; 0 when none does.
pid_t FlashLockOwner(const std::string& moduleDir);
