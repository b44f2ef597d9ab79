// Names on a FAT volume: long names (UTF-16, up to 255 units, spread over
// entries of 13 units each, tied to their short entry by a checksum) and the
// 8.3 short names, with the numeric tails that keep aliases unique.
#include <algorithm>
#include <cstdio>

#include "module/fat_internal.h"

namespace {

// Where the 13 units sit in a long name entry.
constexpr uint32_t kUnitOffsets[kFatLongEntryUnits] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr uint32_t kMaxTail = 999999;

// A character a FAT name may hold (long or short; short names are narrower
// still for names this library makes).
bool NameChar(char16_t c) {
  return c >= 0x20 && std::u16string_view(u"\"*/:<>?\\|").find(c) == std::u16string_view::npos;
}

// Whether `c` may reach a terminal as it is: not a character a FAT name
// cannot hold (so a separator in a stored name shows as what it is), nor one
// that a terminal takes as a command (C0, DEL, C1) or that reorders the text
// around it.
bool Showable(char16_t c) {
  if (!NameChar(c) || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return false;
  bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
              (c >= 0x2066 && c <= 0x2069);
  return !bidi;
}

bool ShortChar(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return true;
  return std::u16string_view(u"$%'-_@~`!(){}^#&").find(c) != std::u16string_view::npos;
}

// Case pairs of Latin Extended-A: the upper-case letter is the even one in
// some runs and the odd one in others.
char16_t UpperLatinExtendedA(char16_t c) {
  bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
  bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if (evenUpper && (c & 1)) return static_cast<char16_t>(c - 1);
  if (oddUpper && !(c & 1)) return static_cast<char16_t>(c - 1);
  return c;
}

void PutPart(std::u16string_view part, uint8_t* out, uint32_t room) {
  for (uint32_t i = 0; i < room; i++) out[i] = i < part.size() ? static_cast<uint8_t>(part[i]) : ' ';
}

std::u16string TrimmedPart(const uint8_t* bytes, uint32_t length, bool lower) {
  uint32_t end = length;
  while (end > 0 && bytes[end - 1] == ' ') end--;
  std::u16string part;
  for (uint32_t i = 0; i < end; i++) {
    char16_t c = bytes[i];
    if (lower && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    part += c;
  }
  return part;
}

// Up to `room` units of a short name part; characters a short name cannot
// hold become '_' and make the conversion lossy, periods are left out.
std::u16string BasisPart(std::u16string_view part, uint32_t room, bool* lossy) {
  std::u16string out;
  for (char16_t c : part) {
    if (out.size() == room) break;
    if (c == u'.') continue;
    if (ShortChar(c)) {
      out += c;
    } else {
      out += u'_';
      *lossy = true;
    }
  }
  return out;
}

FatShortName ShortOf(std::u16string_view base, std::u16string_view extension) {
  FatShortName name{};
  PutPart(base, name.data(), 8);
  PutPart(extension, name.data() + 8, 3);
  return name;
}

bool Taken(const std::vector<FatShortName>& taken, const FatShortName& name) {
  return std::binary_search(taken.begin(), taken.end(), name);
}

}  // namespace

char16_t FatUpper(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) return UpperLatinExtendedA(c);
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if ((c >= 0x3B1 && c <= 0x3C9) || (c >= 0x430 && c <= 0x44F)) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool FatNamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (FatUpper(a[i]) != FatUpper(b[i])) return false;
  }
  return true;
}

FatResult FatCleanName(std::u16string_view name, std::u16string* clean) {
  size_t end = name.size();
  while (end > 0 && (name[end - 1] == u'.' || name[end - 1] == u' ')) end--;
  if (end == 0 || end > kFatMaxNameUnits) return FatResult::InvalidName;
  if (!std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(end), NameChar)) {
    return FatResult::InvalidName;
  }
  clean->assign(name.substr(0, end));
  return FatResult::Ok;
}

bool FatLongNameLegal(std::u16string_view name) {
  std::u16string clean;
  return FatCleanName(name, &clean) == FatResult::Ok && clean.size() == name.size();
}

bool FatShortNameLegal(const FatShortName& name) {
  // 0x05 in front stands for 0xE5; trailing blanks are padding, and a blank
  // base is no name at all.
  for (size_t i = 0; i < name.size(); i++) {
    if (!(i == 0 && name[i] == kFatKanjiE5) && !NameChar(name[i])) return false;
  }
  return FatLongNameLegal(FatShortDisplay(name, 0));
}

std::u16string FatShownName(std::u16string_view name) {
  std::u16string shown;
  for (char16_t c : name) {
    if (!Showable(c)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, c <= 0xFF ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
      for (const char* h = hex; *h != '\0'; h++) shown += static_cast<char16_t>(*h);
    } else {
      shown += c;
    }
  }
  return shown;
}

bool FatPlainShortName(std::u16string_view name, FatShortName* shortName) {
  size_t dot = name.find(u'.');
  std::u16string_view base = name.substr(0, dot);
  std::u16string_view extension = dot == std::u16string_view::npos ? u"" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
  if (dot != std::u16string_view::npos && extension.empty()) return false;
  if (!std::all_of(base.begin(), base.end(), ShortChar)) return false;
  if (!std::all_of(extension.begin(), extension.end(), ShortChar)) return false;
  *shortName = ShortOf(base, extension);
  return true;
}

bool FatMakeAlias(std::u16string_view name, const std::vector<FatShortName>& taken, FatShortName* alias) {
  std::u16string upper;
  for (char16_t c : name) upper += FatUpper(c);
  // Blanks go everywhere, periods only at the start; the last period left
  // divides name from extension.
  std::u16string squeezed;
  for (char16_t c : upper) {
    if (c == u' ' || (c == u'.' && squeezed.empty())) continue;
    squeezed += c;
  }
  size_t dot = squeezed.rfind(u'.');
  std::u16string_view whole(squeezed);
  bool lossy = false;
  std::u16string base = BasisPart(whole.substr(0, dot), 8, &lossy);
  std::u16string extension =
      dot == std::u16string_view::npos ? std::u16string() : BasisPart(whole.substr(dot + 1), 3, &lossy);
  if (base.empty()) base = u"_";
  std::u16string shown = extension.empty() ? base : base + u"." + extension;
  FatShortName basis = ShortOf(base, extension);
  if (!lossy && shown == upper && !Taken(taken, basis)) {
    *alias = basis;
    return true;
  }
  for (uint32_t n = 1; n <= kMaxTail; n++) {
    std::u16string tail = u"~";
    for (char c : std::to_string(n)) tail += static_cast<char16_t>(c);
    std::u16string tailed = base.substr(0, 8 - tail.size()) + tail;
    FatShortName candidate = ShortOf(tailed, extension);
    if (!Taken(taken, candidate)) {
      *alias = candidate;
      return true;
    }
  }
  return false;
}

bool FatLabelBytes(std::u16string_view label, FatShortName* bytes) {
  if (label.size() > bytes->size() || (!label.empty() && label[0] == u' ')) return false;
  std::u16string upper;
  for (char16_t c : label) {
    upper += FatUpper(c);
    if (upper.back() != u' ' && !ShortChar(upper.back())) return false;
  }
  PutPart(upper, bytes->data(), static_cast<uint32_t>(bytes->size()));
  return true;
}

uint8_t FatShortChecksum(const FatShortName& name) {
  uint8_t sum = 0;
  for (uint8_t b : name) sum = static_cast<uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + b);
  return sum;
}

std::u16string FatShortDisplay(const FatShortName& name, uint8_t caseFlags) {
  FatShortName bytes = name;
  if (bytes[0] == kFatKanjiE5) bytes[0] = kFatDeleted;
  std::u16string base = TrimmedPart(bytes.data(), 8, caseFlags & kFatLowerBase);
  std::u16string extension = TrimmedPart(bytes.data() + 8, 3, caseFlags & kFatLowerExtension);
  return extension.empty() ? base : base + u"." + extension;
}

void FatEncodeLongEntries(std::u16string_view name, uint8_t checksum, std::vector<uint8_t>* entries) {
  uint32_t count = static_cast<uint32_t>((name.size() + kFatLongEntryUnits - 1) / kFatLongEntryUnits);
  // The name ends with one 0x0000 unless it fills its last entry; 0xFFFF pads the rest.
  std::u16string units(name);
  if (units.size() % kFatLongEntryUnits != 0) units += u'\0';
  units.resize(size_t{count} * kFatLongEntryUnits, static_cast<char16_t>(0xFFFF));
  entries->assign(size_t{count} * kFatDirEntryBytes, 0);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t order = count - i;  // stored from the last part to the first
    uint8_t* e = entries->data() + size_t{i} * kFatDirEntryBytes;
    e[0] = static_cast<uint8_t>(order | (i == 0 ? kFatLastLongEntry : 0));
    e[kFatOffAttributes] = kFatLongNameAttributes;
    e[kFatOffLongChecksum] = checksum;
    for (uint32_t u = 0; u < kFatLongEntryUnits; u++) {
      StoreLe16(e + kUnitOffsets[u], units[(order - 1) * kFatLongEntryUnits + u]);
    }
  }
}

void FatLongEntryUnits(const uint8_t* entry, char16_t units[kFatLongEntryUnits]) {
  for (uint32_t u = 0; u < kFatLongEntryUnits; u++) units[u] = LoadLe16(entry + kUnitOffsets[u]);
}
