// The virtual module a fuzz target runs its inputs on: made once per process
// in a temporary folder, every file of it kept in memory as made, compared
// after an input and put back before the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bytes [from, to) of a file.
struct FuzzRange {
  uint64_t from;
  uint64_t to;
};

// Makes the module of `board` with module.ini `settings`, attaches it and
// keeps its files. Waits are skipped from here on (the clock moves on as if
// they were waited). Aborts when the module cannot be made.
void FuzzModuleMake(const char* board, const std::vector<std::string>& settings = {});
const std::string& FuzzModuleDir();

// Where flash.img, as stored, now differs from the module as made: merged
// byte ranges in file order.
std::vector<FuzzRange> FuzzFlashChanges();

// Every other file (path inside the module folder) that differs from the
// module as made, was added or went away. locks/ is left out: it holds what
// this process has open, not the module's state.
std::vector<std::string> FuzzFileChanges();

// The module back as made: the program's layers at their start, the files
// put back (only what changed is written), attached again.
void FuzzModuleRestore();

// Writes `size` bytes as `name` in the module's image folder; the program's
// path to it.
std::u16string FuzzPlaceImage(const char* name, const uint8_t* data, size_t size);

// An invariant did not hold: says which and aborts, so the fuzzer keeps the input.
[[noreturn]] void FuzzFail(const char* format, ...) __attribute__((format(printf, 1, 2)));
