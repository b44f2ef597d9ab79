// Runs of the built program on fresh virtual modules, with the console
// window system so that a run never waits for a display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

// A new module of `board` ("nor", "nand") with `settings`; its directory.
std::string MakeModule(const std::vector<std::string>& settings = {}, const std::string& board = "nor");

// flashwright on `dir` with the module's own `switches`, `input` on its
// standard input.
ProgramResult Flashwright(const std::string& dir, std::vector<std::string> switches, const std::string& input = "");
// The same, started and left running.
RunningProgram StartFlashwright(const std::string& dir, std::vector<std::string> switches,
                                const std::string& input = "");

// An unattended update with an image of one record, `data` at flash offset `at`.
ProgramResult UpdateWith(const std::string& dir, uint32_t at, const std::vector<uint8_t>& data);

// `fwmodule fault` on `dir`; a test failure when it is refused.
void SetFault(const std::string& dir, const std::string& setting);

// The persistent registry as the flash holds it; empty when no half is valid.
std::string PersistentRegistry(const std::string& dir);

std::string ReadFile(const std::string& path);
