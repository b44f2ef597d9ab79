// The CFI query table of one chip of the NOR pair.
#pragma once

#include <cstdint>

#include "module/nor_geometry.h"

// Query addresses answered; every word past them reads 0.
constexpr uint32_t kNorCfiWords = 0x50;

// Fills `table` (kNorCfiWords entries), one byte of query data per word.
void NorCfiBuild(const NorGeometry& geometry, uint16_t* table);
