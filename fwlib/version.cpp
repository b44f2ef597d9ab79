#include "fwlib/version.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "flash/flash_layer.h"
#include "fwlib/flash_reads.h"
#include "fwlib/image_size.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// The bootloader's version record: marker, ImageVersion, marker, word-aligned.
constexpr uint32_t VERSION_OPEN_MARKER = 0x01234567;
constexpr uint32_t VERSION_CLOSE_MARKER = 0x89ABCDEF;
enum VersionRecordWord : uint32_t { VREC_OPEN, VREC_VERSION, VREC_CLOSE = 4, VREC_WORDS };
constexpr uint32_t VERSION_SCAN_PAGE = 4096;
constexpr uint32_t WORD_BYTES = 4;

// The first entry of a ROM image's module table follows its header; the
// entry carries the module's file time.
constexpr uint32_t ROM_HEADER_BYTES = 84;
enum ModuleEntryWord : uint32_t { MOD_FILETIME_LOW = 1, MOD_FILETIME_HIGH, MOD_ENTRY_WORDS = 8 };

// Older bootloaders carry only a text banner, somewhere behind their boot
// sector; the search window is counted from the bootloader's own base.
constexpr char BANNER_OPENING[] = "Microsoft Windows CE Ethernet Bootloader ";
constexpr uint32_t BANNER_SEARCH_START = 0x8000;
constexpr uint32_t BANNER_SEARCH_BYTES = 0x20000;

constexpr std::string_view MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int MONTH_UNKNOWN = 0;

// Dates the formatter and the calendar can take.
constexpr int YEAR_FIRST = 1601;
constexpr int YEAR_LAST = 30827;
constexpr int DAY_LAST = 31;

constexpr WCHAR DATE_PICTURE[] = u"dd MMM yyyy";
constexpr DWORD TIME_FLAGS = LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT;

// Files the OS image puts into \windows, dated as the image was built.
constexpr const WCHAR* IMAGE_DATED_FILES[] = {u"\\windows\\wince.nls", u"\\windows\\default.fdf",
                                              u"\\windows\\default.hv", u"\\windows\\initobj.dat"};

void SetUnknownDate(WCHAR* dateText) { TextCopy(dateText, FWL_DATE_TEXT_CHARS, FWL_DATE_UNKNOWN); }

// "dd MMM yyyy HH:mm:ss (GMT)"; any part that cannot be formatted (a date
// off the calendar) makes the whole text "Unknown Date" rather than a half.
void FormatDateText(const SYSTEMTIME& when, WCHAR* dateText) {
  int dateUnits = GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &when, DATE_PICTURE, dateText, FWL_DATE_PART_CHARS);
  if (dateUnits <= 0) return SetUnknownDate(dateText);
  dateText[dateUnits - 1] = u' ';
  if (GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FLAGS, &when, nullptr, dateText + dateUnits,
                     FWL_DATE_PART_CHARS) <= 0) {
    return SetUnknownDate(dateText);
  }
  TextAppend(dateText, FWL_DATE_TEXT_CHARS, FWL_DATE_SUFFIX);
}

void FormatFileTime(const FILETIME& fileTime, WCHAR* dateText) {
  SYSTEMTIME when;
  if (!FileTimeToSystemTime(&fileTime, &when)) return SetUnknownDate(dateText);
  FormatDateText(when, dateText);
}

// The first version record in address order, searched a page at a time; a
// range shorter than a page still reads the whole page.
bool FindVersionRecord(uint32_t base, uint32_t length, ImageVersion* version) {
  if (!FlashLockForReads()) return false;
  uint64_t end = uint64_t{base} + length;
  uint32_t page[VERSION_SCAN_PAGE / WORD_BYTES];
  bool found = false;
  for (uint64_t at = base; at < end && !found; at += VERSION_SCAN_PAGE) {
    if (!FlashReadAt(page, at, sizeof page)) break;
    for (uint32_t i = 0; i < std::size(page) && !found; i++) {
      if (page[i] != VERSION_OPEN_MARKER) continue;
      uint32_t record[VREC_WORDS];
      if (!FlashReadAt(record, at + uint64_t{i} * WORD_BYTES, sizeof record)) continue;
      if (record[VREC_CLOSE] != VERSION_CLOSE_MARKER) continue;
      std::memcpy(version, &record[VREC_VERSION], sizeof *version);
      found = true;
    }
  }
  FlashUnlock();
  return found;
}

// The build date of the ROM image at base (or one boot sector in): the file
// time of the first module in its table.
void DateFromRomImage(uint32_t base, WCHAR* dateText) {
  RomImage rom;
  if (!RomImageLocate(base, &rom) || !FlashLockForReads()) return SetUnknownDate(dateText);
  uint32_t entry[MOD_ENTRY_WORDS];
  bool read = FlashReadAt(entry, uint64_t{rom.headerAt} + ROM_HEADER_BYTES, sizeof entry);
  FlashUnlock();
  if (!read) return SetUnknownDate(dateText);
  FormatFileTime(FILETIME{entry[MOD_FILETIME_LOW], entry[MOD_FILETIME_HIGH]}, dateText);
}

// A cursor over banner text that may end anywhere: every step checks the end.
struct BannerCursor {
  const char* at;
  const char* end;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void SkipBlanks(BannerCursor* c) {
  while (c->at < c->end && IsBlank(*c->at)) c->at++;
}

// A decimal number after optional blanks and sign; false without a digit.
// Saturates instead of overflowing on an absurdly long run of digits.
bool ScanNumber(BannerCursor* c, int* value) {
  constexpr int DECIMAL = 10;
  constexpr int SATURATE = 1000000000;
  SkipBlanks(c);
  bool negative = c->at < c->end && *c->at == '-';
  if (c->at < c->end && (*c->at == '-' || *c->at == '+')) c->at++;
  if (c->at >= c->end || *c->at < '0' || *c->at > '9') return false;
  int n = 0;
  while (c->at < c->end && *c->at >= '0' && *c->at <= '9') {
    n = std::min(n * DECIMAL + (*c->at - '0'), SATURATE);
    c->at++;
  }
  *value = negative ? -n : n;
  return true;
}

// Fixed text as a scanf picture matches it: a blank matches any run of
// blanks, anything else itself.
bool ScanLiteral(BannerCursor* c, std::string_view literal) {
  for (char expected : literal) {
    if (IsBlank(expected)) {
      SkipBlanks(c);
    } else if (c->at < c->end && *c->at == expected) {
      c->at++;
    } else {
      return false;
    }
  }
  return true;
}

std::string_view ScanWord(BannerCursor* c) {
  SkipBlanks(c);
  const char* start = c->at;
  while (c->at < c->end && !IsBlank(*c->at) && *c->at != '\0') c->at++;
  return {start, static_cast<size_t>(c->at - start)};
}

int MonthIndex(std::string_view name) {
  for (size_t i = 0; i < std::size(MONTH_NAMES); i++) {
    if (MONTH_NAMES[i] == name) return static_cast<int>(i) + 1;
  }
  return MONTH_UNKNOWN;
}

// What follows the opening: "M.m for Valmora Wrenlet Built Mon d yyyy".
// Fields the text does not reach stay 0.
struct BannerFields {
  int major = 0;
  int minor = 0;
  int month = MONTH_UNKNOWN;
  int day = 0;
  int year = 0;
};

BannerFields ParseBanner(BannerCursor c) {
  BannerFields f;
  if (!ScanNumber(&c, &f.major) || !ScanLiteral(&c, ".") || !ScanNumber(&c, &f.minor) ||
      !ScanLiteral(&c, " for Valmora Wrenlet Built ")) {
    return f;
  }
  std::string_view name = ScanWord(&c);
  if (name.empty()) return f;
  f.month = MonthIndex(name);
  if (ScanNumber(&c, &f.day)) ScanNumber(&c, &f.year);
  return f;
}

void DateFromBanner(const BannerFields& f, WCHAR* dateText) {
  if (f.month == MONTH_UNKNOWN || f.day < 1 || f.day > DAY_LAST || f.year < YEAR_FIRST || f.year > YEAR_LAST) {
    return SetUnknownDate(dateText);
  }
  SYSTEMTIME when{};
  when.wYear = static_cast<WORD>(f.year);
  when.wMonth = static_cast<WORD>(f.month);
  when.wDay = static_cast<WORD>(f.day);
  FormatDateText(when, dateText);
}

// The banner of the bootloader in [base, base + length): another
// bootloader's banner past its end is not its own.
bool FindBanner(uint32_t base, uint32_t length, ImageVersion* version, WCHAR* dateText) {
  uint32_t bytes = length > BANNER_SEARCH_START ? std::min(BANNER_SEARCH_BYTES, length - BANNER_SEARCH_START) : 0;
  bytes &= ~(WORD_BYTES - 1);
  if (bytes == 0) return false;
  uint32_t* buffer = new (std::nothrow) uint32_t[bytes / WORD_BYTES];
  if (buffer == nullptr) return false;
  bool read = false;
  if (FlashLockForReads()) {
    read = FlashReadAt(buffer, uint64_t{base} + BANNER_SEARCH_START, bytes);
    FlashUnlock();
  }
  bool found = false;
  if (read) {
    const char* text = reinterpret_cast<const char*>(buffer);
    const char* end = text + bytes;
    std::string_view opening(BANNER_OPENING);
    const char* hit = std::search(text, end, opening.begin(), opening.end());
    if (hit != end) {
      BannerFields f = ParseBanner(BannerCursor{hit + opening.size(), end});
      *version = ImageVersion{FAMILY_MODULE, static_cast<uint32_t>(f.major), static_cast<uint32_t>(f.minor) & MINOR_MASK};
      DateFromBanner(f, dateText);
      found = true;
    }
  }
  delete[] buffer;
  return found;
}

}  // namespace

uint32_t FWLGetBootloaderVersion(ImageVersion* version, WCHAR* dateText, uint32_t base, uint32_t length) {
  if (version == nullptr || dateText == nullptr || length == 0) return 0;
  if (FindVersionRecord(base, length, version)) {
    DateFromRomImage(base, dateText);
    return 1;
  }
  return FindBanner(base, length, version, dateText) ? 1 : 0;
}

void FWLGetImageVersion(ImageVersion* version, WCHAR* dateText) {
  if (version == nullptr || dateText == nullptr) return;
  BspGetImageVersion(version);
  for (const WCHAR* name : IMAGE_DATED_FILES) {
    HANDLE file = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    FILETIME created;
    BOOL timed = GetFileTime(file, &created, nullptr, nullptr);
    CloseHandle(file);
    if (!timed) return SetUnknownDate(dateText);
    return FormatFileTime(created, dateText);
  }
  SetUnknownDate(dateText);
}
