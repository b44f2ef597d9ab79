// Calendar time, file time and the locale's date and time texts.
//
// File times count 100-ns ticks since 1601-01-01 00:00 UTC. The module's
// clock runs in UTC. Every locale identifier formats as English (United
// States).
#pragma once

#include "platform/types.h"

using LCID = DWORD;

constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;

// Flags of GetDateFormatW and GetTimeFormatW.
constexpr DWORD LOCALE_NOUSEROVERRIDE = 0x80000000;
constexpr DWORD DATE_SHORTDATE = 0x1;
constexpr DWORD DATE_LONGDATE = 0x2;
constexpr DWORD TIME_NOMINUTESORSECONDS = 0x1;
constexpr DWORD TIME_NOSECONDS = 0x2;
constexpr DWORD TIME_NOTIMEMARKER = 0x4;
constexpr DWORD TIME_FORCE24HOURFORMAT = 0x8;

// Fails with ERROR_INVALID_PARAMETER for null arguments and for file times
// beyond the platform's range (top bit set). Fills the day of the week.
BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);

// Fails with ERROR_INVALID_PARAMETER for null arguments and fields out of
// range (years 1601-30827, real calendar days, 24-hour clock, ms < 1000).
// The day of the week is ignored.
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);

void GetSystemTime(SYSTEMTIME* systemTime);
void GetSystemTimeAsFileTime(FILETIME* fileTime);

// Writes the date of `date` (null: now) as `picture` lays it out (null: the
// locale's short date "M/d/yyyy", or its long date "dddd, MMMM d, yyyy" with
// DATE_LONGDATE). Picture elements: d dd ddd dddd, M MM MMM MMMM, y yy yyyy,
// 'quoted text' ('' for a quote); anything else is copied.
// Returns the units written including the terminator; with capacity 0 the
// units needed. Returns 0 with ERROR_INSUFFICIENT_BUFFER when `out` is too
// small (nothing is written then) and with ERROR_INVALID_PARAMETER for an
// invalid date, bad flags or a bad buffer.
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR out, int capacity);

// As GetDateFormatW for the time of day. Picture elements: h hh H HH, m mm,
// s ss, t tt (A/P, AM/PM); a null picture is the locale's "h:mm:ss tt".
// TIME_FORCE24HOURFORMAT turns h/hh into H/HH and, like TIME_NOTIMEMARKER,
// drops the marker; TIME_NOSECONDS and TIME_NOMINUTESORSECONDS drop those
// elements. A dropped element takes the separator before it along.
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out, int capacity);

// Test hooks. A fixed clock makes GetSystemTime and the null-time formats
// answer `now` (null: back to the host clock). The locale pictures used for
// a null picture can be replaced (null: the default again); false when the
// picture is longer than the platform allows. Not for use while other
// threads format.
enum class LocalePicture { ShortDate, LongDate, Time };
void DateTimeFixClock(const SYSTEMTIME* now);
bool DateTimeSetLocalePicture(LocalePicture which, LPCWSTR picture);
void DateTimeReset();
