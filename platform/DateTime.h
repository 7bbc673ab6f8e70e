// Date-time values: a double counting days since 1899-12-30 00:00, the
// fraction being the time of day, in server local time.  One hour is 1/24.
//
// This module holds the conversions between that type, calendar fields and
// Unix time, the zone biases, and the formatter for the host's formats.
#pragma once

#include <string>
#include <string_view>

namespace vantora {

using TDateTime = double;

// Day number of 1970-01-01 in TDateTime.
inline constexpr double kUnixEpochDays = 25569.0;
inline constexpr double kMillisecondsPerDay = 86400000.0;

// The present local moment, with millisecond precision (from the clock seam).
TDateTime Now();
// The present local date (time of day 0).
TDateTime Date();

// Calendar conversions.  Years 1..9999.  EncodeDate returns false through
// *ok (when given) for an invalid date and then yields 0.
TDateTime EncodeDate(int year, int month, int day, bool* ok = nullptr);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
void DecodeDate(TDateTime dt, int* year, int* month, int* day);
void DecodeTime(TDateTime dt, int* hour, int* minute, int* second, int* millisecond);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime dt);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Local date-time of a Unix time, and back (through the system zone rules).
TDateTime UnixToLocal(double unix_seconds);
double LocalToUnix(TDateTime local);

// The zone bias in minutes (universal time = local time + bias) of the
// present moment, daylight saving included.
int ZoneBiasMinutes();
// The zone's standard bias in minutes, daylight saving not counted.
int StandardBiasMinutes();

// The host's formats: one process-wide settings record.
struct HostFormats {
  std::string short_date = "yyyy/mm/dd";
  std::string long_time = "hh:nn:ss";
  char date_separator = '/';
  char time_separator = ':';
  char decimal_separator = '.';
};
HostFormats& Formats();

// Formats a date-time.  Letters in either case: "yyyy"/"yy" year, "m"/"mm"
// month ("mmm"/"mmmm" English month names), "d"/"dd" day ("ddd"/"dddd"
// English day names, "ddddd" the short date format), "h"/"hh" hour, "n"/"nn"
// minute ("m"/"mm" right after an hour also means minutes), "s"/"ss" second,
// "zzz" milliseconds, "c" short date and long time, "/" the date separator,
// ":" the time separator; text in single or double quotes is copied.
std::string FormatDateTime(std::string_view format, TDateTime dt);
// The same, appended to *out (which must not hold format).
void AppendDateTime(std::string* out, std::string_view format, TDateTime dt);
// Short date, a blank, long time.
std::string DateTimeToStr(TDateTime dt);
std::string DateToStr(TDateTime dt);
std::string TimeToStr(TDateTime dt);
// DateToStr and TimeToStr appended to *out.
void AppendDate(std::string* out, TDateTime dt);
void AppendTime(std::string* out, TDateTime dt);

}  // namespace vantora
