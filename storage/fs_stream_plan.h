// What the file-system streams of an image file will do to this module, as
// the check before the update found it: for the report of the plan
// (`--check`, `fwimage info`) and for the update, which carries it out.
#pragma once

#include <cstdint>

struct FsStreamPlan {
  uint32_t type;      // FS_STREAM_FILES or FS_STREAM_SECTORS
  uint32_t base;      // the flash the store lies on: this module's File System region
  uint32_t length;
  uint32_t sectorBytes;
  uint64_t storeSectors;
  uint64_t sectors;    // sector stream: sectors written back
  uint32_t partitions;  // file stream: partitions made, and what goes into them
  uint32_t folders;
  uint32_t files;
  uint64_t fileBytes;
};

// Streams the report shows one by one; later ones are counted only.
constexpr uint32_t FS_PLAN_STREAMS_SHOWN = 4;

// A count as the reports print it (%u): the largest value stands for more.
inline uint32_t Clamp32(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

struct FsPlan {
  uint32_t streams;
  FsStreamPlan stream[FS_PLAN_STREAMS_SHOWN];
};
