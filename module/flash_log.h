// A record of every write the flash sees, shared by all processes on a module
// (module.ini trace.flash_log), so that one can tell afterwards whether two
// processes ever drove the flash at the same time. Each model appends one
// fixed-size record per write to one file opened for appending: the kernel
// keeps each record whole and puts the records of all processes in the order
// they were written. Off unless set; while off a model pays one test per write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class FlashLogDevice : uint8_t {
  Nor = 1,             // a bus write to the NOR pair: address is the bus offset
  NandController = 2,  // a write to a NAND controller register: address is its offset
  NandChip = 3,        // a page or block command of the module's own NAND driver: address is the page or block
};

// The flash was at rest (no command under way) before, or after, the write.
constexpr uint8_t kFlashLogIdleBefore = 0x01;
constexpr uint8_t kFlashLogIdleAfter = 0x02;

struct FlashLogRecord {
  uint32_t pid;
  uint32_t address;
  uint32_t value;
  uint8_t device;  // FlashLogDevice
  uint8_t flags;   // kFlashLogIdle*
  uint16_t reserved;
};
static_assert(sizeof(FlashLogRecord) == 16, "records are read back by size");

struct FlashLog {
  int fd = -1;
};

// Opens the log the setting names (a relative name lies beside `besideFile`);
// an empty setting leaves it off. False with `error` set when it cannot be opened.
bool FlashLogOpen(const std::string& setting, const std::string& besideFile, FlashLog* log, std::string* error);
void FlashLogClose(FlashLog* log);

inline bool FlashLogOn(const FlashLog& log) { return log.fd >= 0; }
inline uint8_t FlashLogFlags(bool idleBefore, bool idleAfter) {
  return static_cast<uint8_t>((idleBefore ? kFlashLogIdleBefore : 0) | (idleAfter ? kFlashLogIdleAfter : 0));
}

// One record per value, written at `address` and the words after it.
void FlashLogAppend(FlashLog* log, FlashLogDevice device, uint32_t address, const uint32_t* values, size_t count,
                    uint8_t flags);

// Every whole record of a log file.
bool FlashLogRead(const std::string& path, std::vector<FlashLogRecord>* records, std::string* error);
