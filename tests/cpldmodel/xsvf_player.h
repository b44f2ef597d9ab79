// A small serial vector (XSVF) player for the model's tests: it plays the
// commands the vendor's programming files use on any JTAG wires. It has no
// timing (waits only move the controller) and no retries (XREPEAT is read
// and ignored: a mismatch fails at once).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The wires the player drives: TCK, TMS and TDI levels, and TDO read back.
struct JtagDriver {
  void (*set)(void* context, bool tck, bool tms, bool tdi);
  bool (*tdo)(void* context);
  void* context;
};

struct XsvfOutcome {
  bool ok = false;
  size_t commands = 0;  // commands played, the failing one included
  std::string error;    // what failed, with the command's position
};

XsvfOutcome XsvfPlay(const std::vector<uint8_t>& stream, const JtagDriver& driver);

// A stream cut at its command boundaries (commands this player knows; the
// list ends before the first it does not).
struct XsvfCommand {
  size_t offset = 0;
  size_t bytes = 0;
  uint8_t code = 0;
  uint32_t sdrBits = 0;  // the data register length in force
};
std::vector<XsvfCommand> XsvfSplit(const std::vector<uint8_t>& stream);

// One of the vendor's files in the shared test data (empty when missing).
std::vector<uint8_t> XsvfFile(const char* name);
