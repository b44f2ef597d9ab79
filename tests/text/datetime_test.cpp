#include <gtest/gtest.h>

#include <string>

#include "platform/datetime.h"
#include "platform/error.h"

namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerDay = 86400000ULL * kTicksPerMs;
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

FILETIME MakeFileTime(uint64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint64_t Ticks(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

SYSTEMTIME Make(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0) {
  // The day of the week is deliberately wrong: every call must ignore it.
  return {year, month, 6, day, hour, minute, second, ms};
}

SYSTEMTIME FromTicks(uint64_t ticks) {
  const FILETIME ft = MakeFileTime(ticks);
  SYSTEMTIME st{};
  EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
  return st;
}

std::u16string Date(const SYSTEMTIME& st, LPCWSTR picture, DWORD flags = 0) {
  WCHAR out[128];
  const int n = GetDateFormatW(LOCALE_SYSTEM_DEFAULT, flags, &st, picture, out, 128);
  EXPECT_GT(n, 0);
  return n > 0 ? std::u16string(out, static_cast<size_t>(n - 1)) : u"<failed>";
}

std::u16string Time(const SYSTEMTIME& st, LPCWSTR picture, DWORD flags = 0) {
  WCHAR out[128];
  const int n = GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, flags, &st, picture, out, 128);
  EXPECT_GT(n, 0);
  return n > 0 ? std::u16string(out, static_cast<size_t>(n - 1)) : u"<failed>";
}

class DateTime : public ::testing::Test {
 protected:
  void SetUp() override { DateTimeReset(); }
  void TearDown() override { DateTimeReset(); }
};

TEST_F(DateTime, FileTimesConvertAtKnownPoints) {
  struct Case {
    uint64_t ticks;
    WORD year, month, day, dayOfWeek, hour, minute, second, ms;
  };
  const Case cases[] = {
      {0, 1601, 1, 1, 1, 0, 0, 0, 0},
      {kUnixEpochTicks, 1970, 1, 1, 4, 0, 0, 0, 0},
      {kUnixEpochTicks - kTicksPerMs, 1969, 12, 31, 3, 23, 59, 59, 999},
      {0x7FFFFFFFFFFFFFFFULL, 30828, 9, 14, 4, 2, 48, 5, 477},
  };
  for (const Case& c : cases) {
    const SYSTEMTIME st = FromTicks(c.ticks);
    EXPECT_EQ(c.year, st.wYear);
    EXPECT_EQ(c.month, st.wMonth);
    EXPECT_EQ(c.day, st.wDay);
    EXPECT_EQ(c.dayOfWeek, st.wDayOfWeek);
    EXPECT_EQ(c.hour, st.wHour);
    EXPECT_EQ(c.minute, st.wMinute);
    EXPECT_EQ(c.second, st.wSecond);
    EXPECT_EQ(c.ms, st.wMilliseconds);
  }
}

TEST_F(DateTime, LeapDaysAndYearBoundaries) {
  FILETIME ft;
  const SYSTEMTIME leap = Make(2000, 2, 29, 12);
  ASSERT_TRUE(SystemTimeToFileTime(&leap, &ft));
  SYSTEMTIME next = FromTicks(Ticks(ft) + kTicksPerDay);
  EXPECT_EQ(3, next.wMonth);
  EXPECT_EQ(1, next.wDay);

  const SYSTEMTIME noLeap = Make(1900, 2, 28);
  ASSERT_TRUE(SystemTimeToFileTime(&noLeap, &ft));
  next = FromTicks(Ticks(ft) + kTicksPerDay);
  EXPECT_EQ(3, next.wMonth);  // 1900 is not a leap year

  const SYSTEMTIME newYearsEve = Make(2008, 12, 31, 23, 59, 59, 999);
  ASSERT_TRUE(SystemTimeToFileTime(&newYearsEve, &ft));
  next = FromTicks(Ticks(ft) + kTicksPerMs);
  EXPECT_EQ(2009, next.wYear);
  EXPECT_EQ(1, next.wMonth);
  EXPECT_EQ(1, next.wDay);
  EXPECT_EQ(4, next.wDayOfWeek);  // a Thursday
}

TEST_F(DateTime, EveryDayRoundTripsAndTheWeekAdvances) {
  // Stepping by a prime number of days visits every position in every cycle
  // of the calendar, up to the last year a calendar time may name.
  constexpr WORD kLastConvertibleYear = 30827;
  constexpr uint64_t kStepDays = 97;
  constexpr uint64_t kStepTicks = kStepDays * kTicksPerDay + 12345678;
  WORD previousDay = 1;  // 1601-01-01 was a Monday
  for (uint64_t ticks = 0; ticks < 0x7FFFFFFFFFFFFFFFULL - kStepTicks; ticks += kStepTicks) {
    const SYSTEMTIME st = FromTicks(ticks);
    if (st.wYear > kLastConvertibleYear) break;
    FILETIME back;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    ASSERT_EQ(ticks - ticks % kTicksPerMs, Ticks(back));
    if (ticks > 0) {
      const uint64_t days = (ticks / kTicksPerDay) - ((ticks - kStepTicks) / kTicksPerDay);
      ASSERT_EQ((previousDay + days) % 7, st.wDayOfWeek);
    }
    previousDay = st.wDayOfWeek;
  }
}

TEST_F(DateTime, RejectsInvalidInput) {
  const SYSTEMTIME bad[] = {
      Make(2009, 0, 1),  Make(2009, 13, 1), Make(2009, 1, 0),         Make(2009, 4, 31),
      Make(1900, 2, 29), Make(2000, 2, 30), Make(1600, 12, 31),       Make(30828, 1, 1),
      Make(2009, 1, 1, 24), Make(2009, 1, 1, 0, 60), Make(2009, 1, 1, 0, 0, 60), Make(2009, 1, 1, 0, 0, 0, 1000),
  };
  FILETIME ft;
  for (const SYSTEMTIME& st : bad) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
  const FILETIME tooLate = MakeFileTime(0x8000000000000000ULL);
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
  EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
  EXPECT_FALSE(SystemTimeToFileTime(nullptr, &ft));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(DateTime, DatePictures) {
  const SYSTEMTIME st = Make(2009, 3, 5, 14, 3, 7);
  EXPECT_EQ(u"05 Mar 2009", Date(st, u"dd MMM yyyy"));
  EXPECT_EQ(u"3/5/2009", Date(st, nullptr));
  EXPECT_EQ(u"Thursday, March 5, 2009", Date(st, nullptr, DATE_LONGDATE | LOCALE_NOUSEROVERRIDE));
  EXPECT_EQ(u"Thu 5/3/09 9", Date(st, u"ddd d/M/yy y"));
  EXPECT_EQ(u"Day 5 of March, it's 2009 h:m", Date(st, u"'Day' d 'of' MMMMM, 'it''s' yyyy h:m"));
  EXPECT_EQ(u"dd MM", Date(st, u"'dd MM"));  // an open quote runs to the end
  EXPECT_EQ(u"Tuesday 29 February 2000", Date(Make(2000, 2, 29), u"dddd d MMMM yyyy"));
  EXPECT_EQ(u"Monday 01/01/1601", Date(Make(1601, 1, 1), u"dddd dd/MM/yyyy"));
  EXPECT_EQ(u"Sunday 31 Dec 2000", Date(Make(2000, 12, 31), u"dddd d MMM yyyy"));
}

TEST_F(DateTime, TimePicturesAndFlags) {
  const SYSTEMTIME afternoon = Make(2009, 3, 5, 14, 3, 7);
  EXPECT_EQ(u"2:03:07 PM", Time(afternoon, nullptr));
  EXPECT_EQ(u"14:03:07", Time(afternoon, nullptr, LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT));
  EXPECT_EQ(u"2:03 PM", Time(afternoon, nullptr, TIME_NOSECONDS));
  EXPECT_EQ(u"2 PM", Time(afternoon, nullptr, TIME_NOMINUTESORSECONDS));
  EXPECT_EQ(u"02h03 P o'clock", Time(afternoon, u"hh'h'mm t 'o''clock'"));
  EXPECT_EQ(u"2:03", Time(afternoon, u"tt h:mm", TIME_NOTIMEMARKER));

  const SYSTEMTIME midnight = Make(2010, 10, 21);
  EXPECT_EQ(u"12:00:00 AM", Time(midnight, nullptr));
  EXPECT_EQ(u"0:00:00", Time(midnight, nullptr, TIME_FORCE24HOURFORMAT));
  EXPECT_EQ(u"00:00:00", Time(midnight, u"HH:mm:ss"));
  EXPECT_EQ(u"12:00 PM", Time(Make(2010, 10, 21, 12), u"hh:mm tt"));
  EXPECT_EQ(u"11:59:59 PM d/M/y", Time(Make(2010, 10, 21, 23, 59, 59, 999), u"h:mm:ss tt d/M/y"));
}

TEST_F(DateTime, SizeQueryAndTooSmallBuffer) {
  const SYSTEMTIME st = Make(2009, 3, 5, 14, 3, 7);
  EXPECT_EQ(12, GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, u"dd MMM yyyy", nullptr, 0));
  EXPECT_EQ(9, GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &st, nullptr, nullptr, 0));

  constexpr WCHAR kGuard = 0xA5A5;
  WCHAR out[16];
  std::fill(std::begin(out), std::end(out), kGuard);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(0, GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, u"dd MMM yyyy", out, 11));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  for (WCHAR c : out) EXPECT_EQ(kGuard, c);
  EXPECT_EQ(0, GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, nullptr, out, 10));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  for (WCHAR c : out) EXPECT_EQ(kGuard, c);

  EXPECT_EQ(12, GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, u"dd MMM yyyy", out, 12));
  EXPECT_EQ(std::u16string(u"05 Mar 2009"), out);
  EXPECT_EQ(kGuard, out[12]);
}

TEST_F(DateTime, BadArgumentsAreRefused) {
  const SYSTEMTIME st = Make(2009, 3, 5);
  WCHAR out[64];
  const auto refusedDate = [&](DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR buffer, int capacity) {
    SetLastError(ERROR_SUCCESS);
    return GetDateFormatW(LOCALE_SYSTEM_DEFAULT, flags, date, picture, buffer, capacity) == 0 &&
           GetLastError() == ERROR_INVALID_PARAMETER;
  };
  const SYSTEMTIME monthZero = Make(2010, 0, 21);  // what an unknown month name turns into
  EXPECT_TRUE(refusedDate(0, &monthZero, u"dd MMM yyyy", out, 64));
  EXPECT_TRUE(refusedDate(0, &st, u"d", out, -1));
  EXPECT_TRUE(refusedDate(0, &st, u"d", nullptr, 64));
  EXPECT_TRUE(refusedDate(DATE_SHORTDATE, &st, u"d", out, 64));
  EXPECT_TRUE(refusedDate(DATE_SHORTDATE | DATE_LONGDATE, &st, nullptr, out, 64));
  EXPECT_TRUE(refusedDate(0x100, &st, nullptr, out, 64));

  const SYSTEMTIME lateHour = Make(2009, 3, 5, 24);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(0, GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &lateHour, nullptr, out, 64));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(DateTime, NullTimeMeansNowAndLocalePicturesCanChange) {
  const SYSTEMTIME now = Make(2012, 2, 29, 9, 30, 15, 250);
  DateTimeFixClock(&now);
  SYSTEMTIME got;
  GetSystemTime(&got);
  EXPECT_EQ(2012, got.wYear);
  EXPECT_EQ(3, got.wDayOfWeek);  // a Wednesday
  EXPECT_EQ(250, got.wMilliseconds);
  WCHAR out[64];
  ASSERT_GT(GetDateFormatW(0, 0, nullptr, u"yyyy-MM-dd", out, 64), 0);
  EXPECT_EQ(std::u16string(u"2012-02-29"), out);

  ASSERT_TRUE(DateTimeSetLocalePicture(LocalePicture::Time, u"HH:mm:ss"));
  ASSERT_GT(GetTimeFormatW(0, 0x80000008, nullptr, nullptr, out, 64), 0);
  EXPECT_EQ(std::u16string(u"09:30:15"), out);
  EXPECT_FALSE(DateTimeSetLocalePicture(LocalePicture::Time, std::u16string(80, u'h').c_str()));

  DateTimeFixClock(nullptr);
  GetSystemTime(&got);
  EXPECT_GE(got.wYear, 2024);
}

}  // namespace
