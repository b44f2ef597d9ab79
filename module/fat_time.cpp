// File times (100 ns since 1601) to and from the FAT's date, 2-second time
// and 10 ms fields. The stored local time is taken as UTC.
#include "module/fat_internal.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerTenMs = 100000;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDays1601To1970 = 134774;
constexpr int64_t kFirstYear = 1980;
constexpr int64_t kLastYear = 2107;  // 7 bits of years after 1980

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, uint32_t m, uint32_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  uint32_t yoe = static_cast<uint32_t>(y - era * 400);
  uint32_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, uint32_t* m, uint32_t* d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  uint32_t doe = static_cast<uint32_t>(z - era * 146097);
  uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  uint32_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = era * 400 + yoe + (*m <= 2);
}

uint64_t FileTimeOf(int64_t y, uint32_t m, uint32_t d, int64_t secondOfDay) {
  int64_t days = DaysFromCivil(y, m, d) + kDays1601To1970;
  return static_cast<uint64_t>(days * kSecondsPerDay + secondOfDay) * kTicksPerSecond;
}

}  // namespace

FatStamp FatStampFromFileTime(uint64_t fileTime) {
  uint64_t lowest = FileTimeOf(kFirstYear, 1, 1, 0);
  uint64_t highest = FileTimeOf(kLastYear, 12, 31, kSecondsPerDay - 1) + kTicksPerSecond - kTicksPerTenMs;
  if (fileTime < lowest) fileTime = lowest;
  if (fileTime > highest) fileTime = highest;
  int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond);
  uint64_t rest = fileTime % kTicksPerSecond;
  int64_t days = seconds / kSecondsPerDay - kDays1601To1970;
  int64_t second = seconds % kSecondsPerDay;
  int64_t y = 0;
  uint32_t m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  FatStamp stamp;
  stamp.date = static_cast<uint16_t>((y - kFirstYear) << 9 | m << 5 | d);
  stamp.time = static_cast<uint16_t>((second / 3600) << 11 | (second / 60 % 60) << 5 | (second % 60) / 2);
  stamp.tenths = static_cast<uint8_t>((second % 2) * 100 + rest / kTicksPerTenMs);
  return stamp;
}

uint64_t FatFileTimeFromStamp(const FatStamp& stamp) {
  uint32_t d = stamp.date & 0x1F, m = stamp.date >> 5 & 0x0F;
  if (d == 0 || m == 0 || m > 12) return 0;
  int64_t y = kFirstYear + (stamp.date >> 9);
  uint32_t hour = stamp.time >> 11, minute = stamp.time >> 5 & 0x3F, twoSeconds = stamp.time & 0x1F;
  // A time of day that cannot be is taken as midnight rather than spilling
  // into the next day; so is a 10 ms count past its range.
  int64_t second = hour < 24 && minute < 60 && twoSeconds < 30 ? hour * 3600 + minute * 60 + twoSeconds * 2 : 0;
  uint32_t tenths = stamp.tenths < 200 ? stamp.tenths : 0;
  // Day 31 of a short month rolls into the next month, as the calendar arithmetic does.
  return FileTimeOf(y, m, d, second) + uint64_t{tenths} * kTicksPerTenMs;
}
