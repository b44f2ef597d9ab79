// Versions and build dates of the bootloaders in flash and of the running OS
// image, for the version report.
#pragma once

#include <cstdint>

#include "flash/bsp.h"
#include "platform/types.h"

// The family id of the modules this program serves.
constexpr uint32_t FAMILY_MODULE = 1;
// ImageVersion::minorBuild: the minor number below, the beta build above.
constexpr uint32_t MINOR_MASK = 0xFFFF;
constexpr uint32_t BUILD_SHIFT = 16;

// The date text: up to 64 units of date, up to 64 of time, then the suffix.
constexpr uint32_t FWL_DATE_PART_CHARS = 64;
constexpr WCHAR FWL_DATE_SUFFIX[] = u" (GMT)";
constexpr uint32_t FWL_DATE_TEXT_CHARS = 2 * FWL_DATE_PART_CHARS + sizeof FWL_DATE_SUFFIX / sizeof(WCHAR);
constexpr WCHAR FWL_DATE_UNKNOWN[] = u"Unknown Date";

// Looks for the version of the bootloader in [base, base + length): a version
// record, else the older Ethernet bootloader's banner. Returns 1 with
// `version` and `dateText` (FWL_DATE_TEXT_CHARS units) filled, 0 when neither
// is found or length is 0.
uint32_t FWLGetBootloaderVersion(ImageVersion* version, WCHAR* dateText, uint32_t base, uint32_t length);

// Version of the running OS image as the board reports it (left as it was
// when the board does not fill it) and the image's build date, dated by the
// files it put into \windows. `dateText` is always filled.
void FWLGetImageVersion(ImageVersion* version, WCHAR* dateText);
