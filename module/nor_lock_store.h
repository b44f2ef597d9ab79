// The lock bits of NOR chips that keep them across power cycles, in a small
// text file beside flash.img: one line per chip, one character per block in
// block order, '1' locked and '0' not.
#pragma once

#include <cstdint>
#include <string>

#include "module/nor_chip.h"

std::string NorLockStorePath(const std::string& flashPath);

// Fills each chip's `locks` from the file, or leaves them empty when there is
// no file yet (a module whose chips never changed a lock bit). False with
// `error` set when the file cannot be read or does not fit the chips.
bool NorLockStoreLoad(const std::string& path, NorChip* chips, uint32_t chipCount, std::string* error);

// Replaces the file atomically, so that a power cut leaves the old bits or
// the new ones.
bool NorLockStoreSave(const std::string& path, const NorChip* chips, uint32_t chipCount, std::string* error);
