// The subcommands of fwimage; each returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit codes: the file was built or checks out; a checked file has faults;
// the command could not be carried out.
constexpr int kFwimageOk = 0;
constexpr int kFwimageFaults = 1;
constexpr int kFwimageError = 2;

int FwimageBuild(const std::vector<std::string>& args);
int FwimageStream(const std::vector<std::string>& args);
int FwimageFiles(const std::vector<std::string>& args);
int FwimageInfo(const std::vector<std::string>& args);

// "fwimage: MESSAGE" on standard error; returns kFwimageError.
int FwimageFail(const std::string& message);

// The program's own verdict on the XSVF stream of a CPLD section's data (the
// validation's words): empty when an update would take it, else the reason.
std::string FwimageCpldStreamFault(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength);

// A number in C notation (0x..., decimal), at most 32 bits.
bool FwimageNumber(const std::string& text, uint32_t* value);
