// The progress callbacks of the library's long operations, seen from the
// library's side. A callback returns 0 to ask the operation to stop (it then
// ends with FWL_ERR_USER_ABORT); an empty slot lets the operation go on.
// Callbacks run on the caller's thread, from inside the operation.
#pragma once

#include <cstdint>
#include <type_traits>

#include "flash/flash_layer.h"
#include "fwlib/regions.h"

// (position in the file, file size or 0 when only the position is new).
using ValidateProgressFn = int (*)(uint32_t position, uint32_t fileSize);
// The regions a backup is about to save.
using SummaryFn = int (*)(RegionSummary* summary);
// (flash address, length, checksum word or 0) at the start of each section.
using SectionStartFn = int (*)(uint32_t address, uint32_t length, uint32_t checksum);
// (bytes done in the section, bytes done in the operation) after each chunk.
using BytesProgressFn = int (*)(uint32_t sectionBytes, uint32_t totalBytes);
// Erase progress (bytes erased, total) and the file-system phases (phase, 0).
using EraseProgressFn = int (*)(uint32_t first, uint32_t second);
static_assert(std::is_same_v<EraseProgressFn, FlashProgressHook>, "the erase slot is handed to the flash layer");

// File-system phases reported through the erase slot.
constexpr uint32_t ERASE_PHASE_PREPARE_DRIVER = 1;
constexpr uint32_t ERASE_PHASE_FORMATTING = 2;
constexpr uint32_t ERASE_PHASE_FORMAT_DONE = 3;

// An operation stores the callbacks it takes; the others keep what they held.
void CallbackSetValidate(ValidateProgressFn fn);
void CallbackSetSummary(SummaryFn fn);
void CallbackSetSectionStart(SectionStartFn fn);
void CallbackSetBytesProgress(BytesProgressFn fn);
void CallbackSetErase(EraseProgressFn fn);
// Empties every slot.
void CallbacksClear();

// Each report returns false when the operation must stop.
bool ReportValidate(uint32_t position, uint32_t fileSize);
// Resets the operation's total byte count first.
bool ReportSummary(RegionSummary* summary);
// Resets the section byte count first.
bool ReportSectionStart(uint32_t address, uint32_t length, uint32_t checksum);
// Adds `chunk` to the section and total counts, then reports both.
bool ReportBytes(uint32_t chunk);
bool ReportErase(uint32_t first, uint32_t second);

// The erase slot as the flash layer's progress hook (null when empty, which
// the layer treats as "go on").
EraseProgressFn CallbackEraseHook();

uint32_t CallbackSectionBytes();
uint32_t CallbackTotalBytes();

// Empty slots and zero counts.
void CallbacksReset();
