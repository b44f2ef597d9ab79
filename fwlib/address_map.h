// Where a BIN image lands in the flash: the shift from the addresses the
// image was linked for to flash offsets, and the protection of the first
// bootloader of a two-stage boot.
#pragma once

#include <cstdint>

// Image starts below this are flash offsets already (files of the backup).
constexpr uint32_t BIN_FLASH_OFFSET_LIMIT = 0x4C000000;
// Bootloaders linked into this window land at flash offset 0.
constexpr uint32_t BIN_BOOT_WINDOW_FIRST = 0xBCA00000;
constexpr uint32_t BIN_BOOT_WINDOW_LAST = 0xBFFFFFFE;
// OS images linked into one of these windows (cached and uncached views of
// the same memory) land at the OS base of the board's flash layout.
constexpr uint32_t BIN_CACHED_WINDOW_FIRST = 0x80000000;
constexpr uint32_t BIN_CACHED_WINDOW_LAST = 0x9C9FFFFF;
constexpr uint32_t BIN_UNCACHED_WINDOW_FIRST = 0xA0000000;
constexpr uint32_t BIN_UNCACHED_WINDOW_LAST = 0xBC9FFFFF;
// The OS base when the board does not tell its flash layout.
constexpr uint32_t BIN_DEFAULT_OS_BASE = 0x80000;

// The shift to add to the image's addresses; false for an image start no
// window accepts.
bool BinAddressShift(uint32_t imageStart, uint32_t* shift);

struct ImagePlacement {
  uint32_t mappedStart;   // flash offset of the image start
  uint32_t shift;         // added to every record address
  bool firstBootloader;   // it mapped into the first bootloader of a two-stage boot
  bool refuseUpdate;      // and it was not moved out of it
};

// On a module whose bootloader is the first of two stages, moves a bootloader
// build (linked into the boot window) that maps into it onto the second
// bootloader's base (from the board's flash layout). Any other image that
// maps into it, or one that cannot be moved out, is marked refused.
// Rescans the bootloader region first.
void ProtectFirstBootloader(uint32_t imageStart, ImagePlacement* placement);

// On a module whose bootloader is the first of two stages, true when
// [start, start + length) reaches into it. Rescans the bootloader region first.
bool ReachesFirstBootloader(uint32_t start, uint32_t length);

// True when a record of `length` bytes at file address `address` lies inside
// the image range [imageStart, imageStart + imageLength), computed wide.
bool RecordInImage(uint32_t imageStart, uint32_t imageLength, uint32_t address, uint32_t length);

// True when the mapped image range lies inside the flash.
bool MappedRangeInFlash(uint32_t mappedStart, uint32_t imageLength);
