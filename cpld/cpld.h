// The CPLD's interface to the rest of the program: identification, version
// and programming, always used as CpldInit, one read or program, CpldRelease.
#pragma once

#include <cstdint>

constexpr uint32_t CPLD_OK = 0;
constexpr uint32_t CPLD_ERR_NOT_INITIALISED = 2;  // CpldReadVersion, CpldProgram
constexpr uint32_t CPLD_ERR_NO_CPLD = 3;          // this processor has no CPLD
constexpr uint32_t CPLD_ERR_ID_READ = 4;          // the identification read failed
constexpr uint32_t CPLD_ERR_WRONG_DEVICE = 5;     // another device answered
constexpr uint32_t CPLD_ERR_NO_ANSWER = 6;        // the device did not identify itself during a read
constexpr uint32_t CPLD_ERR_PROGRAM = 7;          // the firmware or refresh stream failed

// Processor part codes of the modules that carry a CPLD.
constexpr uint32_t CPLD_PART_CODES[] = {2, 8, 9};

// The device expected on the JTAG pins: the IDCODE without its revision.
constexpr uint32_t CPLD_IDCODE = 0x06E5D093;
constexpr uint32_t CPLD_IDCODE_REVISION_MASK = 0x0FFFFFFF;

// How CpldProgram plays the firmware: 1 at raised priority, 2 followed by
// the refresh stream (raised for that one only), 3 as it is; 0 and values
// above 3 mean 1.
constexpr uint32_t CPLD_MODE_RAISED = 1;
constexpr uint32_t CPLD_MODE_REFRESH = 2;
constexpr uint32_t CPLD_MODE_PLAIN = 3;

// 0 when the expected device answers (also when already initialised); 3 on
// a processor without a CPLD (no pin touched); 4 when no identity could be
// read (the pins cannot be reached, or all 32 bits came back alike); 5 for
// another device.
uint32_t CpldInit();
// Clears the initialised flag; always 0.
uint32_t CpldRelease();
// The device's 32-bit user code into *version: 0, or 2, 6.
uint32_t CpldReadVersion(uint32_t* version);
// Programs the XSVF stream of `length` bytes: 0, or 2, 7. A stream that
// runs out before its end fails (7).
uint32_t CpldProgram(const uint8_t* stream, uint32_t length, uint32_t mode);

// Why the last CpldProgram failed: the player's error (xsvf.h), the command
// of the stream it came at (counted from 1) and whether the stream was the
// refresh. All 0 after a run that succeeded.
struct CpldProgramFailure {
  uint32_t xsvfError;
  uint32_t command;
  bool refresh;
};
CpldProgramFailure CpldLastProgramFailure();

// Uninitialised again, as at process start (tests only).
void CpldResetForTests();
