#include "module/factory_images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kErasedWord = 0xFFFFFFFF;
constexpr uint32_t kHalfWordMask = 0xFFFF;
constexpr uint32_t kBuildShift = 16;
constexpr uint32_t kBootMarkOffset = 4;

// Filler: ARM instructions with the "always" condition, so no filler word can
// be mistaken for a marker, a signature or erased flash.
constexpr uint32_t kCodeCondition = 0xE0000000;
constexpr uint32_t kCodeOperandMask = 0x0FFFFFFF;
// Configuration words keep their top bit clear, so none reads as erased.
constexpr uint32_t kConfigWordMask = 0x7FFFFFFF;

// ROM header words, by index.
enum RomHeaderWord : uint32_t {
  kHdrDllFirst = 0,
  kHdrDllLast = 1,
  kHdrPhysFirst = 2,
  kHdrPhysLast = 3,
  kHdrModules = 4,
  kHdrRamStart = 5,
  kHdrRamFree = 6,
  kHdrRamEnd = 7,
  kHdrFsRamPercent = 14,
  kHdrCpuType = 17,  // processor type in the low half, flags in the high half
};
constexpr uint32_t kRomDllFirst = 0x01E00000;
constexpr uint32_t kRomDllLast = 0x02000000;
constexpr uint32_t kRomFsRamPercent = 0x80808080;
constexpr uint32_t kRomCpuArmThumb = 0x01C2;
constexpr uint32_t kRomRamAlign = 0x100000;
constexpr uint32_t kRomRamUsed = 0x40000;
constexpr uint32_t kRomRamBytes = 0x01000000;
constexpr uint32_t kRomAddressSkew = 0x1000;  // moves the header address off the rule
constexpr uint32_t kRomTailAlign = 16;

// Module table entry: attributes, file time, size, name address, and the
// offsets of the module's headers and load address.
enum ModuleEntryWord : uint32_t {
  kEntAttributes = 0,
  kEntTimeLow = 1,
  kEntTimeHigh = 2,
  kEntSize = 3,
  kEntName = 4,
  kEntE32 = 5,
  kEntO32 = 6,
  kEntLoad = 7,
};
constexpr uint32_t kModuleAttributes = 0x07;  // read-only, hidden, system
constexpr uint32_t kModuleHeaderBytes = 0x70;

enum VersionWord : uint32_t { kVerOpen = 0, kVerFamily = 1, kVerMajor = 2, kVerMinorBuild = 3, kVerClose = 4 };
enum SscrWord : uint32_t { kSscrSig = 0, kSscrFormatWord = 1, kSscrLength = 2, kSscrChecksum = 3 };
enum CompWord : uint32_t { kCompSig = 0, kCompFormatWord = 1, kCompLength = 2, kCompOriginal = 3, kCompChecksum = 4 };
constexpr uint32_t kRecordFormat = 1;

constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr uint32_t kBannerTailMax = 96;  // "M.m for ... Built Mon dd yyyy" and slack

// File times count 100 ns units from 1601; Unix time seconds from 1970.
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (uint32_t i = 0; i < kWordBytes; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A word of the flash; false when it does not lie wholly inside.
bool WordAt(std::span<const uint8_t> flash, uint64_t offset, uint32_t* value) {
  if (offset > flash.size() || flash.size() - offset < kWordBytes) return false;
  *value = Le32(flash.data() + offset);
  return true;
}

uint32_t AlignUp(uint32_t value, uint32_t align) { return (value + align - 1) / align * align; }

struct Filler {
  uint32_t state;
};

// xorshift: cheap, deterministic, and never stuck at 0 for a non-zero start.
uint32_t NextRandom(Filler* f) {
  f->state ^= f->state << 13;
  f->state ^= f->state >> 17;
  f->state ^= f->state << 5;
  return f->state;
}

Filler SeededFiller(uint32_t seed) { return Filler{seed * 2654435761u | 1u}; }

void FillCode(std::span<uint8_t> bytes, uint32_t seed) {
  Filler f = SeededFiller(seed);
  for (size_t i = 0; i + kWordBytes <= bytes.size(); i += kWordBytes) {
    PutLe32(bytes.data() + i, kCodeCondition | (NextRandom(&f) & kCodeOperandMask));
  }
}

uint32_t ByteSum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

bool FitsAt(size_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }

// The ROM image test: signature, header inside the flash, both physical
// addresses in the window, and either the header address rule or the RAM words.
bool RomImageAt(std::span<const uint8_t> flash, uint32_t start, RomImageFound* found) {
  uint32_t signature, headerAddress, headerOffset;
  if (!WordAt(flash, uint64_t{start} + kRomSignatureOffset, &signature) || signature != kRomSignature ||
      !WordAt(flash, uint64_t{start} + kRomSignatureOffset + kWordBytes, &headerAddress) ||
      !WordAt(flash, uint64_t{start} + kRomSignatureOffset + 2 * kWordBytes, &headerOffset)) {
    return false;
  }
  uint64_t header = uint64_t{start} + headerOffset;
  if (!FitsAt(flash.size(), header, kRomHeaderBytes)) return false;
  const uint8_t* h = flash.data() + header;
  uint32_t physFirst = Le32(h + kHdrPhysFirst * kWordBytes);
  uint32_t physLast = Le32(h + kHdrPhysLast * kWordBytes);
  auto inWindow = [](uint32_t a) { return a >= kRomPhysLowest && a < kRomPhysLimit; };
  if (!inWindow(physFirst) || !inWindow(physLast)) return false;
  uint32_t ramStart = Le32(h + kHdrRamStart * kWordBytes);
  uint32_t ramFree = Le32(h + kHdrRamFree * kWordBytes);
  uint32_t ramEnd = Le32(h + kHdrRamEnd * kWordBytes);
  bool valid = headerAddress - headerOffset == physFirst ||
               (physFirst < physLast && ramStart < ramFree && ramFree < ramEnd);
  if (!valid) return false;
  *found = RomImageFound{};
  found->start = start;
  found->headerOffset = headerOffset;
  found->physFirst = physFirst;
  found->physLast = physLast;
  found->bytes = physLast - physFirst;
  found->modules = Le32(h + kHdrModules * kWordBytes);
  uint64_t entry = header + kRomHeaderBytes;
  if (FitsAt(flash.size(), entry, kRomModuleEntryBytes)) {
    const uint8_t* e = flash.data() + entry + kRomModuleTimeOffset;
    found->hasModuleTime = true;
    found->moduleFileTime = uint64_t{Le32(e)} | uint64_t{Le32(e + kWordBytes)} << 32;
  }
  return true;
}

}  // namespace

uint64_t FileTimeFromDate(const ModuleDateTime& when) {
  int64_t seconds = ModuleDateTimeToUnix(when) + kSecondsFrom1601To1970;
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds) * kFileTimeUnitsPerSecond;
}

bool DateFromFileTime(uint64_t fileTime, ModuleDateTime* when) {
  int64_t seconds = static_cast<int64_t>(fileTime / kFileTimeUnitsPerSecond) - kSecondsFrom1601To1970;
  return ModuleDateTimeFromUnix(seconds, when);
}

bool RomImageBuild(const RomImageSpec& spec, std::vector<uint8_t>* image, std::string* error) {
  uint32_t names = 0;
  for (const std::string& name : spec.modules) names += AlignUp(static_cast<uint32_t>(name.size()) + 1, kWordBytes);
  uint32_t tail = AlignUp(kRomHeaderBytes + static_cast<uint32_t>(spec.modules.size()) * kRomModuleEntryBytes + names,
                          kRomTailAlign);
  if (spec.modules.empty()) {
    *error = "a ROM image needs at least one module";
    return false;
  }
  if (spec.bytes % kWordBytes != 0 || spec.bytes < kRomSignatureOffset + kRomPointerBytes + tail) {
    *error = "a ROM image of " + Hex(spec.bytes) + " bytes cannot hold its header and module table";
    return false;
  }
  if (spec.physFirst < kRomPhysLowest || uint64_t{spec.physFirst} + spec.bytes >= kRomPhysLimit) {
    *error = "a ROM image at " + Hex(spec.physFirst) + " of " + Hex(spec.bytes) +
             " bytes leaves the window of physical addresses";
    return false;
  }
  image->assign(spec.bytes, 0);
  FillCode(*image, spec.seed);
  uint8_t* out = image->data();
  if (spec.firstOfTwoStages) PutLe32(out + kTwoStageWordOffset, kTwoStageMark);

  uint32_t headerOffset = spec.bytes - tail;
  uint32_t physLast = spec.physFirst + spec.bytes;
  uint32_t headerAddress = spec.physFirst + headerOffset + (spec.headerAddressMatches ? 0 : kRomAddressSkew);
  PutLe32(out + kRomSignatureOffset, kRomSignature);
  PutLe32(out + kRomSignatureOffset + kWordBytes, headerAddress);
  PutLe32(out + kRomSignatureOffset + 2 * kWordBytes, headerOffset);

  uint8_t* header = out + headerOffset;
  std::memset(header, 0, tail);
  uint32_t ramStart = AlignUp(physLast, kRomRamAlign);
  auto headerWord = [&](uint32_t index, uint32_t value) { PutLe32(header + index * kWordBytes, value); };
  headerWord(kHdrDllFirst, kRomDllFirst);
  headerWord(kHdrDllLast, kRomDllLast);
  headerWord(kHdrPhysFirst, spec.physFirst);
  headerWord(kHdrPhysLast, physLast);
  headerWord(kHdrModules, static_cast<uint32_t>(spec.modules.size()));
  headerWord(kHdrRamStart, ramStart);
  headerWord(kHdrRamFree, spec.ramWordsIncreasing ? ramStart + kRomRamUsed : ramStart);
  headerWord(kHdrRamEnd, ramStart + kRomRamBytes);
  headerWord(kHdrFsRamPercent, kRomFsRamPercent);
  headerWord(kHdrCpuType, kRomCpuArmThumb);

  // Each module's code is a share of the image; its headers sit in front of it.
  uint32_t table = headerOffset + kRomHeaderBytes;
  uint32_t nameOffset = table + static_cast<uint32_t>(spec.modules.size()) * kRomModuleEntryBytes;
  uint32_t share = (headerOffset / static_cast<uint32_t>(spec.modules.size())) & ~(kWordBytes - 1);
  for (size_t i = 0; i < spec.modules.size(); i++) {
    uint8_t* entry = out + table + i * kRomModuleEntryBytes;
    uint32_t code = spec.physFirst + static_cast<uint32_t>(i) * share;
    auto entryWord = [&](uint32_t index, uint32_t value) { PutLe32(entry + index * kWordBytes, value); };
    entryWord(kEntAttributes, kModuleAttributes);
    entryWord(kEntTimeLow, static_cast<uint32_t>(spec.builtFileTime));
    entryWord(kEntTimeHigh, static_cast<uint32_t>(spec.builtFileTime >> 32));
    entryWord(kEntSize, share);
    entryWord(kEntName, spec.physFirst + nameOffset);
    entryWord(kEntE32, code);
    entryWord(kEntO32, code + kModuleHeaderBytes);
    entryWord(kEntLoad, code);
    const std::string& name = spec.modules[i];
    std::memcpy(out + nameOffset, name.c_str(), name.size() + 1);
    nameOffset += AlignUp(static_cast<uint32_t>(name.size()) + 1, kWordBytes);
  }
  return true;
}

std::vector<uint8_t> BootLoaderBuild(uint32_t seed, uint32_t bootMark, bool firstOfTwoStages) {
  std::vector<uint8_t> loader(kRomLoaderSkip);
  FillCode(loader, seed);
  if (bootMark != 0) PutLe32(loader.data() + kBootMarkOffset, bootMark);
  if (firstOfTwoStages) PutLe32(loader.data() + kTwoStageWordOffset, kTwoStageMark);
  return loader;
}

bool VersionRecordPut(std::span<uint8_t> bytes, uint32_t at, const StoredVersion& version, std::string* error) {
  if (at % kWordBytes != 0 || !FitsAt(bytes.size(), at, kVersionRecordBytes)) {
    *error = "a version record does not fit at " + Hex(at);
    return false;
  }
  if (version.minor > kHalfWordMask || version.build > kHalfWordMask) {
    *error = "a version's minor number and build number have 16 bits each";
    return false;
  }
  uint8_t* r = bytes.data() + at;
  PutLe32(r + kVerOpen * kWordBytes, kVersionOpenMarker);
  PutLe32(r + kVerFamily * kWordBytes, version.family);
  PutLe32(r + kVerMajor * kWordBytes, version.major);
  PutLe32(r + kVerMinorBuild * kWordBytes, version.minor | version.build << kBuildShift);
  PutLe32(r + kVerClose * kWordBytes, kVersionCloseMarker);
  return true;
}

bool BannerPut(std::span<uint8_t> bytes, uint32_t at, uint32_t major, uint32_t minor, const ModuleDateTime& built,
               std::string* error) {
  if (built.month < 1 || built.month > std::size(kMonthNames)) {
    *error = "a banner needs a month from 1 to 12";
    return false;
  }
  char tail[kBannerTailMax];
  std::snprintf(tail, sizeof tail, "%u.%u for Valmora Wrenlet Built %s %u %u\r\n", major, minor,
                kMonthNames[built.month - 1], built.day, built.year);
  std::string text = std::string(kBannerOpening) + tail;
  if (!FitsAt(bytes.size(), at, text.size() + 1)) {
    *error = "the banner does not fit at " + Hex(at);
    return false;
  }
  std::memcpy(bytes.data() + at, text.c_str(), text.size() + 1);
  return true;
}

bool ConfigBlockBuild(uint32_t usedBytes, uint32_t seed, std::vector<uint8_t>* block, std::string* error) {
  block->clear();
  if (usedBytes == 0) return true;
  if (usedBytes % kWordBytes != 0 || usedBytes > kConfigBlockRegionBytes) {
    *error = "the config block holds whole words, at most " + Hex(kConfigBlockRegionBytes) + " bytes, not " +
             Hex(usedBytes);
    return false;
  }
  block->resize(usedBytes);
  PutLe32(block->data(), kConfigBlockMarker);
  Filler f = SeededFiller(seed);
  for (uint32_t i = kWordBytes; i < usedBytes; i += kWordBytes) {
    PutLe32(block->data() + i, NextRandom(&f) & kConfigWordMask);
  }
  return true;
}

std::vector<uint8_t> SscrRecordBuild(uint32_t signatureBytes, uint32_t seed) {
  std::vector<uint8_t> record(kSscrHeaderBytes + uint64_t{signatureBytes});
  Filler f = SeededFiller(seed);
  for (size_t i = kSscrHeaderBytes; i < record.size(); i++) record[i] = static_cast<uint8_t>(NextRandom(&f));
  PutLe32(record.data() + kSscrSig * kWordBytes, kSscrSignature);
  PutLe32(record.data() + kSscrFormatWord * kWordBytes, kRecordFormat);
  PutLe32(record.data() + kSscrLength * kWordBytes, signatureBytes);
  PutLe32(record.data() + kSscrChecksum * kWordBytes,
          ByteSum(std::span<const uint8_t>(record).subspan(kSscrHeaderBytes)));
  return record;
}

std::vector<uint8_t> CompRecordBuild(std::span<const uint8_t> payload) {
  std::vector<uint8_t> record(kCompHeaderBytes);
  uint32_t length = static_cast<uint32_t>(payload.size());
  PutLe32(record.data() + kCompSig * kWordBytes, kCompSignature);
  PutLe32(record.data() + kCompFormatWord * kWordBytes, kRecordFormat);
  PutLe32(record.data() + kCompLength * kWordBytes, length);
  PutLe32(record.data() + kCompOriginal * kWordBytes, length);
  PutLe32(record.data() + kCompChecksum * kWordBytes, ByteSum(payload));
  record.resize(kCompHeaderBytes + payload.size());
  if (!payload.empty()) std::memcpy(record.data() + kCompHeaderBytes, payload.data(), payload.size());
  return record;
}

bool FactoryPlace(const ModuleFlash& flash, uint32_t offset, std::span<const uint8_t> bytes, std::string* error) {
  if (bytes.empty()) return true;
  if (!FitsAt(flash.ops->size(flash.ctx), offset, bytes.size()) ||
      !ModuleFlashProgram(flash, offset, bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    *error = "cannot program " + Hex(bytes.size()) + " bytes at flash offset " + Hex(offset);
    return false;
  }
  return true;
}

bool FactoryPlace(std::span<uint8_t> buffer, uint32_t offset, std::span<const uint8_t> bytes, std::string* error) {
  if (!FitsAt(buffer.size(), offset, bytes.size())) {
    *error = Hex(bytes.size()) + " bytes do not fit at offset " + Hex(offset) + " of " + Hex(buffer.size());
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), buffer.begin() + offset);
  return true;
}

bool RomImageFind(std::span<const uint8_t> flash, uint32_t at, RomImageFound* found) {
  return RomImageAt(flash, at, found) ||
         (uint64_t{at} + kRomLoaderSkip <= UINT32_MAX && RomImageAt(flash, at + kRomLoaderSkip, found));
}

uint32_t StoredImageSize(std::span<const uint8_t> flash, uint32_t at) {
  RomImageFound rom;
  if (RomImageFind(flash, at, &rom)) return rom.start == at ? rom.bytes : rom.bytes + kRomLoaderSkip;
  uint32_t signature, length;
  if (WordAt(flash, at, &signature) && signature == kCompSignature &&
      WordAt(flash, uint64_t{at} + kCompLength * kWordBytes, &length)) {
    return length + kCompHeaderBytes;
  }
  return 0;
}

bool VersionRecordFind(std::span<const uint8_t> flash, uint32_t base, uint32_t length, StoredVersion* version,
                       uint32_t* at) {
  uint64_t end = std::min<uint64_t>(flash.size(), uint64_t{base} + AlignUp(length, kVersionScanPage));
  for (uint64_t offset = base; offset + kVersionRecordBytes <= end; offset += kWordBytes) {
    const uint8_t* r = flash.data() + offset;
    if (Le32(r) != kVersionOpenMarker || Le32(r + kVerClose * kWordBytes) != kVersionCloseMarker) continue;
    uint32_t minorBuild = Le32(r + kVerMinorBuild * kWordBytes);
    version->family = Le32(r + kVerFamily * kWordBytes);
    version->major = Le32(r + kVerMajor * kWordBytes);
    version->minor = minorBuild & kHalfWordMask;
    version->build = minorBuild >> kBuildShift;
    *at = static_cast<uint32_t>(offset);
    return true;
  }
  return false;
}

bool BannerFind(std::span<const uint8_t> flash, uint32_t from, uint32_t length, BannerFound* found) {
  const size_t opening = std::strlen(kBannerOpening);
  uint64_t end = std::min<uint64_t>(flash.size(), uint64_t{from} + length);
  if (from >= end) return false;
  auto first = flash.begin() + from;
  auto last = flash.begin() + static_cast<ptrdiff_t>(end);
  auto hit = std::search(first, last, kBannerOpening, kBannerOpening + opening);
  if (hit == last) return false;
  // The text after the opening may run past the search range, not past the flash.
  size_t at = static_cast<size_t>(hit - flash.begin());
  size_t tailBytes = std::min<size_t>(kBannerTailMax - 1, flash.size() - at - opening);
  char tail[kBannerTailMax] = {};
  std::memcpy(tail, flash.data() + at + opening, tailBytes);
  char month[4] = {};
  BannerFound b;
  if (std::sscanf(tail, "%u.%u for Valmora Wrenlet Built %3s %u %u", &b.major, &b.minor, month, &b.built.day,
                  &b.built.year) != 5) {
    return false;
  }
  for (uint32_t i = 0; i < std::size(kMonthNames); i++) {
    if (std::strcmp(month, kMonthNames[i]) == 0) b.built.month = i + 1;
  }
  b.at = static_cast<uint32_t>(at);
  *found = b;
  return true;
}

bool ConfigBlockFind(std::span<const uint8_t> flash, uint32_t base, uint32_t length, uint32_t* used) {
  uint32_t word;
  if (!WordAt(flash, base, &word) || word != kConfigBlockMarker) return false;
  uint64_t scanned = 0;
  for (; scanned < length; scanned += kConfigScanPage) {
    for (uint32_t i = 0; i < kConfigScanPage; i += kWordBytes) {
      // The end of the flash ends the block like an erased word would.
      if (!WordAt(flash, base + scanned + i, &word) || word == kErasedWord) {
        *used = static_cast<uint32_t>(scanned + i);
        return true;
      }
    }
  }
  *used = static_cast<uint32_t>(scanned);
  return true;
}

bool SscrRecordFind(std::span<const uint8_t> flash, uint32_t at, uint32_t* recordBytes) {
  uint32_t signature, length;
  if (!WordAt(flash, at, &signature) || signature != kSscrSignature ||
      !WordAt(flash, uint64_t{at} + kSscrLength * kWordBytes, &length)) {
    return false;
  }
  *recordBytes = length + kSscrHeaderBytes;
  return true;
}
