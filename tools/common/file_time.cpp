#include "tools/common/file_time.h"

namespace {
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerFileTimeUnit = 100;
}  // namespace

uint64_t FileTimeFromHost(const timespec& t) {
  int64_t seconds = t.tv_sec + kSecondsFrom1601To1970;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * kFileTimeUnitsPerSecond +
         static_cast<uint64_t>(t.tv_nsec) / kNanosecondsPerFileTimeUnit;
}
