// The flash disk's own view of its data, through the store: the sectors
// that hold data, as runs, with their contents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SectorRun {
  uint32_t first;
  uint32_t sectors;
  std::vector<uint8_t> data;

  bool operator==(const SectorRun&) const = default;
};

// Runs of the store `device` (the platform attached), cut at `runMax`
// sectors; failures are test failures.
std::vector<SectorRun> StoreSectorRuns(const std::u16string& device, uint32_t runMax = UINT32_MAX);

// The same for the store "Internal Flash" of the module in `dir`, attaching
// the platform to it for the look and detaching again.
std::vector<SectorRun> ModuleStoreSectorRuns(const std::string& dir);

// Writes whole 512-byte sectors from `first` on into that store.
void ModuleStoreWrite(const std::string& dir, uint32_t first, std::vector<uint8_t> data);
