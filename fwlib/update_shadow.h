// The boot-area shadow of an update on NAND flash: the first 256 KB are
// assembled in memory and then written and read back in one pass, so the
// bootloaders are never left half-written page by page.
#pragma once

#include <cstdint>

constexpr uint32_t BOOT_SHADOW_BYTES = 0x40000;
// The last page of the area is never written from the shadow: it is not the
// bootloaders' but the flash driver's.
constexpr uint32_t BOOT_SHADOW_WRITTEN_BYTES = 0x3F800;

// Fills the shadow with 0xFF and marks it unused; done at the start of every
// update and after the write-back.
void ShadowClear();

// Copies the bytes of [offset, offset + n) that lie below the end of the
// boot area into the shadow and marks it used; returns how many bytes (from
// the start of `source`) it took.
uint32_t ShadowPut(const uint8_t* source, uint32_t offset, uint32_t n);
bool ShadowUsed();

// Writes the shadow's first 0x3F800 bytes to flash offset 0 in pieces of one
// erase block, then reads them back and compares: 15 on a failed write, 9
// without memory for the read-back block, 14 on a failed read, 18 on a
// difference. The caller holds the flash lock.
uint32_t ShadowWriteBack();

// True when the flash is NAND and [offset, offset + length) reaches into the
// part of the boot area the shadow never writes: data there would be lost.
bool BootAreaReservedOverlap(uint32_t offset, uint32_t length);

const uint8_t* ShadowBytes();
