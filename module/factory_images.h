// What a module's flash holds below the registry, laid out as the module's
// own software reads it: ROM images (signature, ROM header, module table),
// bootloader version records and banners, the config block, and the records
// that may follow or replace an image. Builders make the bytes, FactoryPlace
// puts them into a module's flash or a buffer, and the readers find them
// again the way the update program's region discovery does.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "module/module_config.h"
#include "module/module_flash.h"

// ROM image: at +0x40 the signature, the ROM header's address and its offset
// from the image start.
constexpr uint32_t kRomSignature = 0x43454345;  // "ECEC"
constexpr uint32_t kRomSignatureOffset = 0x40;
constexpr uint32_t kRomPointerBytes = 12;
constexpr uint32_t kRomHeaderBytes = 84;
constexpr uint32_t kRomModuleEntryBytes = 32;
constexpr uint32_t kRomModuleTimeOffset = 4;  // file time within a module table entry
constexpr uint32_t kRomPhysLowest = 0x80000000;
constexpr uint32_t kRomPhysLimit = 0x90000000;  // physical addresses of an image lie below
constexpr uint32_t kRomLoaderSkip = 0x8000;     // a bootloader's ROM image may start this far in

// The first bootloader of a two-stage boot says so in this word.
constexpr uint32_t kTwoStageWordOffset = 16;
constexpr uint32_t kTwoStageMark = 2;

// Bootloader version record: marker, family, major, minor | build << 16, marker.
constexpr uint32_t kVersionOpenMarker = 0x01234567;
constexpr uint32_t kVersionCloseMarker = 0x89ABCDEF;
constexpr uint32_t kVersionRecordBytes = 20;
constexpr uint32_t kVersionFamilyModule = 1;
constexpr uint32_t kVersionScanPage = 4096;  // the record search reads whole pages

// The older Ethernet bootloader's banner; the program looks for it only here.
constexpr char kBannerOpening[] = "Microsoft Windows CE Ethernet Bootloader ";
constexpr uint32_t kBannerSearchStart = 0x8000;
constexpr uint32_t kBannerSearchBytes = 0x20000;

constexpr uint32_t kConfigBlockMarker = 0xCF014000;
constexpr uint32_t kConfigScanPage = 4096;

// Signature record after an OS image: "SSCR", format, signature bytes, checksum.
constexpr uint32_t kSscrSignature = 0x52435353;
constexpr uint32_t kSscrHeaderBytes = 16;
// Compressed image record in place of a ROM image: "COMP", format, stored
// bytes, original bytes, checksum.
constexpr uint32_t kCompSignature = 0x504D4F43;
constexpr uint32_t kCompHeaderBytes = 20;

// The fixed part of the layout: the bootloader and config block regions.
constexpr uint32_t kBootloaderRegionBase = 0;
constexpr uint32_t kBootloaderRegionBytes = 0x40000;
constexpr uint32_t kConfigBlockBase = 0x40000;
constexpr uint32_t kConfigBlockRegionBytes = 0x40000;

struct StoredVersion {
  uint32_t family = kVersionFamilyModule;
  uint32_t major = 0;
  uint32_t minor = 0;  // 16 bits
  uint32_t build = 0;  // 16 bits, beta build number; 0 for a release
};

struct RomImageSpec {
  uint32_t bytes = 0;              // flash bytes: last minus first physical address
  uint32_t physFirst = 0x80100000;
  uint64_t builtFileTime = 0;      // 100 ns units since 1601, on every module table entry
  std::vector<std::string> modules = {"nk.exe"};  // the module table, in order
  uint32_t seed = 1;               // varies the instruction-like filler
  bool firstOfTwoStages = false;   // kTwoStageMark at kTwoStageWordOffset
  // Each alone makes the image valid; clear both for an image the rule refuses.
  bool headerAddressMatches = true;  // header address - header offset == first physical address
  bool ramWordsIncreasing = true;    // RAM start < RAM free < RAM end
};

// The image's bytes: filler code, the signature words, and at its end the ROM
// header, the module table and the module names. False, with the reason, when
// `spec` describes no such image.
bool RomImageBuild(const RomImageSpec& spec, std::vector<uint8_t>* image, std::string* error);

// The small loader a NAND board boots from its first pages, kRomLoaderSkip
// bytes of code in front of the bootloader's ROM image. A non-zero
// `bootMark` goes into bytes 4-7; the first of two boot stages carries
// kTwoStageMark, where region discovery looks for it.
std::vector<uint8_t> BootLoaderBuild(uint32_t seed, uint32_t bootMark, bool firstOfTwoStages);

// Writes a version record at `at` (4-byte aligned) of `bytes`; false when it
// does not fit or a field is too wide.
bool VersionRecordPut(std::span<uint8_t> bytes, uint32_t at, const StoredVersion& version, std::string* error);

// Writes the banner "... Ethernet Bootloader M.m for ... Built Mon d yyyy" with
// line end and terminator at `at` of `bytes`.
bool BannerPut(std::span<uint8_t> bytes, uint32_t at, uint32_t major, uint32_t minor, const ModuleDateTime& built,
               std::string* error);

// Config block content: the marker, then `usedBytes` - 4 bytes of
// configuration without an erased word. Nothing for 0.
bool ConfigBlockBuild(uint32_t usedBytes, uint32_t seed, std::vector<uint8_t>* block, std::string* error);

// A signature record carrying `signatureBytes` bytes.
std::vector<uint8_t> SscrRecordBuild(uint32_t signatureBytes, uint32_t seed);

// A compressed-image record holding `payload` as it is.
std::vector<uint8_t> CompRecordBuild(std::span<const uint8_t> payload);

// Puts `bytes` at `offset`: programmed into a module's flash (erased there,
// as programming only clears bits) or copied into a buffer.
bool FactoryPlace(const ModuleFlash& flash, uint32_t offset, std::span<const uint8_t> bytes, std::string* error);
bool FactoryPlace(std::span<uint8_t> buffer, uint32_t offset, std::span<const uint8_t> bytes, std::string* error);

// File times (100 ns units since 1601) from and to calendar times, UTC.
uint64_t FileTimeFromDate(const ModuleDateTime& when);
bool DateFromFileTime(uint64_t fileTime, ModuleDateTime* when);

// --- Readers over the flash bytes; they never read outside `flash`.

struct RomImageFound {
  uint32_t start = 0;         // flash offset of the ROM image (the probed offset, or kRomLoaderSkip past it)
  uint32_t bytes = 0;         // the image size, counted from the probed offset
  uint32_t headerOffset = 0;  // ROM header, from `start`
  uint32_t physFirst = 0;
  uint32_t physLast = 0;
  uint32_t modules = 0;
  bool hasModuleTime = false;  // the first module table entry lies inside the flash
  uint64_t moduleFileTime = 0;
};

// The valid ROM image at `at`, else at `at` + kRomLoaderSkip.
bool RomImageFind(std::span<const uint8_t> flash, uint32_t at, RomImageFound* found);

// The size of the image stored at `at` as region discovery reckons it: a ROM
// image there or kRomLoaderSkip in, else a compressed-image record, else 0.
uint32_t StoredImageSize(std::span<const uint8_t> flash, uint32_t at);

// The first version record in [base, base + length) (whole pages), in address
// order; `at` gets its offset.
bool VersionRecordFind(std::span<const uint8_t> flash, uint32_t base, uint32_t length, StoredVersion* version,
                       uint32_t* at);

struct BannerFound {
  uint32_t at = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  ModuleDateTime built;  // date only; month 0 for a month name not in the table
};

// The first banner whose opening lies in [from, from + length).
bool BannerFind(std::span<const uint8_t> flash, uint32_t from, uint32_t length, BannerFound* found);

// The config block at `base`: false without the marker; else `used` is the
// offset of its first erased word, or the bytes scanned when there is none.
bool ConfigBlockFind(std::span<const uint8_t> flash, uint32_t base, uint32_t length, uint32_t* used);

// A signature record at `at`; `recordBytes` counts its header.
bool SscrRecordFind(std::span<const uint8_t> flash, uint32_t at, uint32_t* recordBytes);
