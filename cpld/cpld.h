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

// 0 when the expected device answers (also when already initialised), else 3, 4 or 5.
//
// The JTAG port is not built yet: on a processor with a CPLD the
// identification read fails (4), so nothing is ever programmed.
uint32_t CpldInit();
// Clears the initialised flag; always 0.
uint32_t CpldRelease();
// The device's 32-bit user code into *version: 0, or 2, 6.
uint32_t CpldReadVersion(uint32_t* version);
// Programs the XSVF stream with mode 0 to 3: 0, or 2, 7.
uint32_t CpldProgram(const uint8_t* stream, uint32_t mode);
