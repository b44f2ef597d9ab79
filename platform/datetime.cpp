#include "platform/datetime.h"

#include <ctime>

#include "platform/error.h"
#include "platform/text.h"

namespace {

constexpr uint64_t kTicksPerMillisecond = 10000;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kMillisecondsPerSecond = 1000;
constexpr uint64_t kSecondsPerMinute = 60;
constexpr uint64_t kMinutesPerHour = 60;
constexpr uint64_t kHoursPerDay = 24;
constexpr uint64_t kMillisecondsPerDay = kMillisecondsPerSecond * kSecondsPerMinute * kMinutesPerHour * kHoursPerDay;
constexpr uint32_t kDwordBits = 32;
constexpr uint64_t kLowDwordMask = 0xFFFFFFFF;
// File times with the top bit set are outside what the platform converts.
constexpr uint64_t kMaxFileTimeTicks = 0x7FFFFFFFFFFFFFFF;
constexpr WORD kFirstYear = 1601;
constexpr WORD kLastYear = 30827;
constexpr WORD kMonthsPerYear = 12;
constexpr int64_t kDaysPerWeek = 7;
constexpr int64_t kMondayIndex = 1;  // 1601-01-01 was a Monday; Sunday is 0
// Seconds from 1601-01-01 to the host's 1970-01-01 epoch.
constexpr int64_t kHostEpochSeconds = 11644473600;
constexpr int64_t kNanosecondsPerTick = 100;

// Gregorian calendar counted in 400-year eras starting on 1 March, so leap
// days fall at the end of each counted year.
constexpr int64_t kDaysPerEra = 146097;
constexpr int64_t kYearsPerEra = 400;
constexpr int64_t kDaysPerYear = 365;
constexpr int64_t kDaysPer4Years = 1460;
constexpr int64_t kDaysPer100Years = 36524;
constexpr int64_t kMarchBasedMonths = 10;  // March..December come first
constexpr int64_t kMonthDayNumerator = 153;  // days in five months from March
constexpr int64_t kMonthDayDivisor = 5;
// Days from 0000-03-01 to 1601-01-01.
constexpr int64_t kDaysTo1601 = 584694;

bool IsLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

WORD DaysInMonth(WORD year, WORD month) {
  static constexpr WORD kDays[kMonthsPerYear] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  constexpr WORD kFebruary = 2;
  return month == kFebruary && IsLeapYear(year) ? kDays[month - 1] + 1 : kDays[month - 1];
}

bool IsValidDate(const SYSTEMTIME& st) {
  return st.wYear >= kFirstYear && st.wYear <= kLastYear && st.wMonth >= 1 && st.wMonth <= kMonthsPerYear &&
         st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth);
}

bool IsValidTimeOfDay(const SYSTEMTIME& st) {
  return st.wHour < kHoursPerDay && st.wMinute < kMinutesPerHour && st.wSecond < kSecondsPerMinute &&
         st.wMilliseconds < kMillisecondsPerSecond;
}

// Days since 1601-01-01.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  if (month <= 2) --year;
  const int64_t era = year / kYearsPerEra;  // years here are never negative
  const int64_t yearOfEra = year - era * kYearsPerEra;
  const int64_t marchMonth = month > 2 ? month - 3 : month + (kMonthsPerYear - 3);
  const int64_t dayOfYear = (kMonthDayNumerator * marchMonth + 2) / kMonthDayDivisor + day - 1;
  const int64_t dayOfEra = yearOfEra * kDaysPerYear + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * kDaysPerEra + dayOfEra - kDaysTo1601;
}

void CivilFromDays(int64_t days, SYSTEMTIME* st) {
  days += kDaysTo1601;
  const int64_t era = days / kDaysPerEra;
  const int64_t dayOfEra = days - era * kDaysPerEra;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / kDaysPer4Years + dayOfEra / kDaysPer100Years - dayOfEra / (kDaysPerEra - 1)) /
      kDaysPerYear;
  const int64_t dayOfYear = dayOfEra - (kDaysPerYear * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t marchMonth = (kMonthDayDivisor * dayOfYear + 2) / kMonthDayNumerator;
  const int64_t month = marchMonth < kMarchBasedMonths ? marchMonth + 3 : marchMonth - kMarchBasedMonths + 1;
  const int64_t year = yearOfEra + era * kYearsPerEra + (month <= 2 ? 1 : 0);
  st->wYear = static_cast<WORD>(year);
  st->wMonth = static_cast<WORD>(month);
  st->wDay = static_cast<WORD>(dayOfYear - (kMonthDayNumerator * marchMonth + 2) / kMonthDayDivisor + 1);
}

WORD DayOfWeek(int64_t days) { return static_cast<WORD>((days + kMondayIndex) % kDaysPerWeek); }

// ---- Process-wide test hooks -------------------------------------------

constexpr size_t kLocalePictureCount = 3;
// The platform keeps a locale's pictures to 80 units, terminator included.
constexpr size_t kMaxLocalePicture = 80;

struct DateTimeState {
  bool clockFixed;
  SYSTEMTIME fixedNow;
  bool pictureReplaced[kLocalePictureCount];
  WCHAR picture[kLocalePictureCount][kMaxLocalePicture];
};

DateTimeState g_dateTime;

LPCWSTR LocalePictureText(LocalePicture which) {
  static constexpr LPCWSTR kDefaults[kLocalePictureCount] = {u"M/d/yyyy", u"dddd, MMMM d, yyyy", u"h:mm:ss tt"};
  const size_t index = static_cast<size_t>(which);
  return g_dateTime.pictureReplaced[index] ? g_dateTime.picture[index] : kDefaults[index];
}

// ---- Pictures -------------------------------------------------------------

enum class PictureKind { Date, Time };

// Collects a rendering; without a buffer it only counts, which is how the
// size query and the fit check are answered before anything is written.
struct Rendering {
  WCHAR* out;
  size_t length;
};

void Emit(Rendering* r, WCHAR c) {
  if (r->out != nullptr) r->out[r->length] = c;
  ++r->length;
}

void EmitText(Rendering* r, LPCWSTR text) {
  for (; *text != 0; ++text) Emit(r, *text);
}

void EmitDecimal(Rendering* r, uint32_t value, uint32_t minDigits) {
  constexpr uint32_t kBase = 10;
  constexpr uint32_t kMaxDigits = 10;
  WCHAR digits[kMaxDigits];
  uint32_t count = 0;
  do {
    digits[count++] = static_cast<WCHAR>(u'0' + value % kBase);
    value /= kBase;
  } while (value != 0);
  for (uint32_t i = count; i < minDigits; ++i) Emit(r, u'0');
  while (count > 0) Emit(r, digits[--count]);
}

constexpr LPCWSTR kDayNames[kDaysPerWeek] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                             u"Thursday", u"Friday", u"Saturday"};
constexpr LPCWSTR kDayAbbreviations[kDaysPerWeek] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
constexpr LPCWSTR kMonthNames[kMonthsPerYear] = {u"January", u"February", u"March",     u"April",
                                                 u"May",     u"June",     u"July",      u"August",
                                                 u"September", u"October", u"November", u"December"};
constexpr LPCWSTR kMonthAbbreviations[kMonthsPerYear] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                                         u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
constexpr WCHAR kQuote = u'\'';
constexpr uint32_t kYearsPerCentury = 100;
constexpr WORD kHoursPerHalfDay = 12;

// Run lengths that select the padded, abbreviated and full forms.
constexpr size_t kPaddedRun = 2;
constexpr size_t kAbbreviatedRun = 3;
constexpr size_t kFullNameRun = 4;

struct PictureInput {
  PictureKind kind;
  DWORD flags;
  const SYSTEMTIME* st;
};

bool IsElement(PictureKind kind, WCHAR c) {
  if (kind == PictureKind::Date) return c == u'd' || c == u'M' || c == u'y';
  return c == u'h' || c == u'H' || c == u'm' || c == u's' || c == u't';
}

bool IsDropped(const PictureInput& in, WCHAR element) {
  if (in.kind != PictureKind::Time) return false;
  switch (element) {
    case u't':
      return (in.flags & (TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT)) != 0;
    case u's':
      return (in.flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS)) != 0;
    case u'm':
      return (in.flags & TIME_NOMINUTESORSECONDS) != 0;
    default:
      return false;
  }
}

void EmitNumberOrName(Rendering* r, size_t run, uint32_t number, LPCWSTR abbreviation, LPCWSTR name) {
  if (run >= kFullNameRun) {
    EmitText(r, name);
  } else if (run == kAbbreviatedRun) {
    EmitText(r, abbreviation);
  } else {
    EmitDecimal(r, number, static_cast<uint32_t>(run));
  }
}

void EmitDateElement(Rendering* r, const SYSTEMTIME& st, WCHAR element, size_t run) {
  switch (element) {
    case u'd': {
      const WORD weekday = DayOfWeek(DaysFromCivil(st.wYear, st.wMonth, st.wDay));
      EmitNumberOrName(r, run, st.wDay, kDayAbbreviations[weekday], kDayNames[weekday]);
      break;
    }
    case u'M':
      EmitNumberOrName(r, run, st.wMonth, kMonthAbbreviations[st.wMonth - 1], kMonthNames[st.wMonth - 1]);
      break;
    default:  // y
      if (run >= kAbbreviatedRun) {
        EmitDecimal(r, st.wYear, 1);
      } else {
        EmitDecimal(r, st.wYear % kYearsPerCentury, static_cast<uint32_t>(run));
      }
      break;
  }
}

void EmitTimeElement(Rendering* r, const PictureInput& in, WCHAR element, size_t run) {
  const SYSTEMTIME& st = *in.st;
  const uint32_t digits = run >= kPaddedRun ? kPaddedRun : 1;
  if (element == u'h' && (in.flags & TIME_FORCE24HOURFORMAT) != 0) element = u'H';
  switch (element) {
    case u'h': {
      const WORD hour = st.wHour % kHoursPerHalfDay;
      EmitDecimal(r, hour == 0 ? kHoursPerHalfDay : hour, digits);
      break;
    }
    case u'H':
      EmitDecimal(r, st.wHour, digits);
      break;
    case u'm':
      EmitDecimal(r, st.wMinute, digits);
      break;
    case u's':
      EmitDecimal(r, st.wSecond, digits);
      break;
    default: {  // t
      const bool morning = st.wHour < kHoursPerHalfDay;
      Emit(r, morning ? u'A' : u'P');
      if (run >= kPaddedRun) Emit(r, u'M');
      break;
    }
  }
}

// Walks the literal text from `start` to the next element, writing it to
// `r` unless r is null; returns where the element (or the end) is. Quoted
// text is literal even where it holds element letters; '' is a quote.
size_t ScanLiteral(PictureKind kind, LPCWSTR picture, size_t start, Rendering* r) {
  auto put = [r](WCHAR c) {
    if (r != nullptr) Emit(r, c);
  };
  size_t i = start;
  bool quoted = false;
  while (picture[i] != 0 && (quoted || !IsElement(kind, picture[i]))) {
    if (picture[i] != kQuote) {
      put(picture[i++]);
    } else if (picture[i + 1] == kQuote) {
      put(kQuote);
      i += 2;
    } else {
      quoted = !quoted;
      ++i;
    }
  }
  return i;
}

void RenderPicture(const PictureInput& in, LPCWSTR picture, Rendering* r) {
  bool keptElement = false;
  bool lastDropped = false;
  size_t i = 0;
  while (picture[i] != 0) {
    const WCHAR c = picture[i];
    if (IsElement(in.kind, c)) {
      size_t run = 0;
      while (picture[i + run] == c) ++run;
      lastDropped = IsDropped(in, c);
      if (!lastDropped) {
        if (in.kind == PictureKind::Date) {
          EmitDateElement(r, *in.st, c, run);
        } else {
          EmitTimeElement(r, in, c, run);
        }
        keptElement = true;
      }
      i += run;
      continue;
    }
    // A dropped element takes the separator before it along; one that opens
    // the picture takes the separator after it instead.
    const size_t end = ScanLiteral(in.kind, picture, i, nullptr);
    const bool beforeDropped = picture[end] != 0 && IsDropped(in, picture[end]);
    const bool afterLeadingDropped = lastDropped && !keptElement;
    if (!beforeDropped && !afterLeadingDropped) ScanLiteral(in.kind, picture, i, r);
    i = end;
  }
}

// The shared tail of both format calls: size query, fit check, write.
int FormatPicture(const PictureInput& in, LPCWSTR picture, LPWSTR out, int capacity) {
  Rendering count{nullptr, 0};
  RenderPicture(in, picture, &count);
  const size_t needed = count.length + 1;
  if (capacity == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(capacity)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  Rendering write{out, 0};
  RenderPicture(in, picture, &write);
  out[write.length] = 0;
  return static_cast<int>(needed);
}

bool IsValidBuffer(LPWSTR out, int capacity) { return capacity == 0 || (capacity > 0 && out != nullptr); }

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (fileTime == nullptr || systemTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const uint64_t ticks = (static_cast<uint64_t>(fileTime->dwHighDateTime) << kDwordBits) | fileTime->dwLowDateTime;
  if (ticks > kMaxFileTimeTicks) return Fail(ERROR_INVALID_PARAMETER);
  const uint64_t totalMs = ticks / kTicksPerMillisecond;
  const int64_t days = static_cast<int64_t>(totalMs / kMillisecondsPerDay);
  uint64_t msOfDay = totalMs % kMillisecondsPerDay;
  CivilFromDays(days, systemTime);
  systemTime->wDayOfWeek = DayOfWeek(days);
  systemTime->wMilliseconds = static_cast<WORD>(msOfDay % kMillisecondsPerSecond);
  msOfDay /= kMillisecondsPerSecond;
  systemTime->wSecond = static_cast<WORD>(msOfDay % kSecondsPerMinute);
  msOfDay /= kSecondsPerMinute;
  systemTime->wMinute = static_cast<WORD>(msOfDay % kMinutesPerHour);
  systemTime->wHour = static_cast<WORD>(msOfDay / kMinutesPerHour);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
  if (systemTime == nullptr || fileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsValidDate(*systemTime) || !IsValidTimeOfDay(*systemTime)) return Fail(ERROR_INVALID_PARAMETER);
  const uint64_t days = static_cast<uint64_t>(DaysFromCivil(systemTime->wYear, systemTime->wMonth, systemTime->wDay));
  const uint64_t seconds = ((days * kHoursPerDay + systemTime->wHour) * kMinutesPerHour + systemTime->wMinute) *
                               kSecondsPerMinute +
                           systemTime->wSecond;
  const uint64_t ticks = seconds * kTicksPerSecond + systemTime->wMilliseconds * kTicksPerMillisecond;
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks & kLowDwordMask);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> kDwordBits);
  return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* fileTime) {
  if (fileTime == nullptr) return;
  if (g_dateTime.clockFixed) {
    SystemTimeToFileTime(&g_dateTime.fixedNow, fileTime);
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t seconds = static_cast<int64_t>(now.tv_sec) + kHostEpochSeconds;
  const uint64_t ticks = seconds < 0 ? 0
                                     : static_cast<uint64_t>(seconds) * kTicksPerSecond +
                                           static_cast<uint64_t>(now.tv_nsec / kNanosecondsPerTick);
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks & kLowDwordMask);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> kDwordBits);
}

void GetSystemTime(SYSTEMTIME* systemTime) {
  if (systemTime == nullptr) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  FileTimeToSystemTime(&now, systemTime);
}

int GetDateFormatW(LCID, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR out, int capacity) {
  constexpr DWORD kKnownFlags = LOCALE_NOUSEROVERRIDE | DATE_SHORTDATE | DATE_LONGDATE;
  const DWORD formFlags = flags & (DATE_SHORTDATE | DATE_LONGDATE);
  if ((flags & ~kKnownFlags) != 0 || formFlags == (DATE_SHORTDATE | DATE_LONGDATE) ||
      (picture != nullptr && formFlags != 0) || !IsValidBuffer(out, capacity)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  SYSTEMTIME now;
  if (date == nullptr) {
    GetSystemTime(&now);
    date = &now;
  }
  if (!IsValidDate(*date)) return Fail(ERROR_INVALID_PARAMETER);
  if (picture == nullptr) {
    picture = LocalePictureText(formFlags == DATE_LONGDATE ? LocalePicture::LongDate : LocalePicture::ShortDate);
  }
  return FormatPicture({PictureKind::Date, flags, date}, picture, out, capacity);
}

int GetTimeFormatW(LCID, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out, int capacity) {
  constexpr DWORD kKnownFlags = LOCALE_NOUSEROVERRIDE | TIME_NOMINUTESORSECONDS | TIME_NOSECONDS |
                                TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;
  if ((flags & ~kKnownFlags) != 0 || !IsValidBuffer(out, capacity)) return Fail(ERROR_INVALID_PARAMETER);
  SYSTEMTIME now;
  if (time == nullptr) {
    GetSystemTime(&now);
    time = &now;
  }
  if (!IsValidTimeOfDay(*time)) return Fail(ERROR_INVALID_PARAMETER);
  if (picture == nullptr) picture = LocalePictureText(LocalePicture::Time);
  return FormatPicture({PictureKind::Time, flags, time}, picture, out, capacity);
}

void DateTimeFixClock(const SYSTEMTIME* now) {
  g_dateTime.clockFixed = now != nullptr;
  if (now != nullptr) g_dateTime.fixedNow = *now;
}

bool DateTimeSetLocalePicture(LocalePicture which, LPCWSTR picture) {
  const size_t index = static_cast<size_t>(which);
  if (index >= kLocalePictureCount) return false;
  if (picture == nullptr) {
    g_dateTime.pictureReplaced[index] = false;
    return true;
  }
  if (TextLengthBounded(picture, kMaxLocalePicture) >= kMaxLocalePicture) return false;
  TextCopy(g_dateTime.picture[index], kMaxLocalePicture, picture);
  g_dateTime.pictureReplaced[index] = true;
  return true;
}

void DateTimeReset() { g_dateTime = DateTimeState{}; }
