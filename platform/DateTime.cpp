#include "platform/DateTime.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/Clock.h"

namespace vantora {
namespace {

// Days from 0000-03-01 based era arithmetic (proleptic Gregorian calendar):
// the year is shifted to begin in March so that the leap day is last.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t day_of_year = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int d = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(year_of_era + era * 400 + (m <= 2));
  *month = m;
  *day = d;
}

const int64_t kDayZero = DaysFromCivil(1899, 12, 30);

// Splits a date-time into whole days and milliseconds of the day, rounding
// to the millisecond so that date and time parts always agree.
void SplitMilliseconds(TDateTime dt, int64_t* days, int64_t* ms_of_day) {
  const int64_t total = std::llround(dt * kMillisecondsPerDay);
  const int64_t per_day = static_cast<int64_t>(kMillisecondsPerDay);
  int64_t d = total / per_day;
  int64_t ms = total % per_day;
  if (ms < 0) {
    ms += per_day;
    --d;
  }
  *days = d;
  *ms_of_day = ms;
}

// Every field of a date-time, from one split: what DecodeDate and
// DecodeTime give.
struct DateTimeFields {
  int year, month, day, hour, minute, second, ms;
};

DateTimeFields SplitFields(TDateTime dt) {
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  DateTimeFields fields;
  CivilFromDays(days + kDayZero, &fields.year, &fields.month, &fields.day);
  fields.hour = static_cast<int>(ms / 3600000);
  fields.minute = static_cast<int>(ms / 60000 % 60);
  fields.second = static_cast<int>(ms / 1000 % 60);
  fields.ms = static_cast<int>(ms % 1000);
  return fields;
}

const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

// Collects formatted text in a small block of its own and appends it to the
// string a block at a time: a date or a time is one append, not one per
// character.
class BlockWriter {
 public:
  // "*out" must remain live while this writer is in use.
  explicit BlockWriter(std::string* out) : out_(out) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  ~BlockWriter() { Flush(); }

  void Put(char c) {
    if (size_ == sizeof block_) Flush();
    block_[size_++] = c;
  }
  void Put(std::string_view text) {
    if (text.size() > sizeof block_ - size_) {
      Flush();
      if (text.size() > sizeof block_) {
        out_->append(text);
        return;
      }
    }
    std::memcpy(block_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  // The string with everything put so far, for writing to it directly.
  std::string* Flushed() {
    Flush();
    return out_;
  }

 private:
  void Flush() {
    if (size_ == 0) return;
    out_->append(block_, size_);
    size_ = 0;
  }

  std::string* out_;
  char block_[64];
  size_t size_ = 0;
};

void AppendNumber(BlockWriter* out, int value, int digits) {
  if (value >= 0 && value < 100 && digits <= 2) {
    // A time's or a date's fields but the year: one or two digits.
    if (value >= 10 || digits == 2) out->Put(static_cast<char>('0' + value / 10));
    out->Put(static_cast<char>('0' + value % 10));
    return;
  }
  if (value >= 0 && value < 10000) {
    // Without a string of its own: at least `digits` digits, leading zeros
    // first.
    char text[4];
    int n = 0;
    do {
      text[3 - n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0);
    for (int pad = n; pad < digits; ++pad) out->Put('0');
    for (int k = 4 - n; k < 4; ++k) out->Put(text[k]);
    return;
  }
  const std::string text = std::to_string(value);
  for (int pad = static_cast<int>(text.size()); pad < digits; ++pad) out->Put('0');
  out->Put(text);
}

// Format letters are ASCII, whatever the host's locale says of other bytes.
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool AsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

TDateTime Now() { return UnixToLocal(UnixNow()); }

TDateTime Date() { return std::floor(Now()); }

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

TDateTime EncodeDate(int year, int month, int day, bool* ok) {
  const bool valid = year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                     day <= DaysInMonth(year, month);
  if (ok) *ok = valid;
  if (!valid) return 0;
  return static_cast<double>(DaysFromCivil(year, month, day) - kDayZero);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  return ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + millisecond) / kMillisecondsPerDay;
}

void DecodeDate(TDateTime dt, int* year, int* month, int* day) {
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  CivilFromDays(days + kDayZero, year, month, day);
}

void DecodeTime(TDateTime dt, int* hour, int* minute, int* second, int* millisecond) {
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  *hour = static_cast<int>(ms / 3600000);
  *minute = static_cast<int>(ms / 60000 % 60);
  *second = static_cast<int>(ms / 1000 % 60);
  *millisecond = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  // Day 0 (1899-12-30) was a Saturday.
  int64_t index = (days + 6) % 7;
  if (index < 0) index += 7;
  return static_cast<int>(index) + 1;
}

TDateTime UnixToLocal(double unix_seconds) {
  const time_t whole = static_cast<time_t>(std::floor(unix_seconds));
  tm local{};
  localtime_r(&whole, &local);
  return (unix_seconds + static_cast<double>(local.tm_gmtoff)) / 86400.0 + kUnixEpochDays;
}

double LocalToUnix(TDateTime local) {
  int year, month, day, hour, minute, second, ms;
  DecodeDate(local, &year, &month, &day);
  DecodeTime(local, &hour, &minute, &second, &ms);
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return static_cast<double>(mktime(&fields)) + ms / 1000.0;
}

int ZoneBiasMinutes() {
  const time_t now = static_cast<time_t>(UnixNow());
  tm local{};
  localtime_r(&now, &local);
  return static_cast<int>(-local.tm_gmtoff / 60);
}

int StandardBiasMinutes() {
  // Read through localtime_r, which takes the zone rules under the C
  // library's own lock: tzset() and the global timezone would re-read the
  // zone while other threads convert times and read a value they rewrite.
  const time_t now = static_cast<time_t>(UnixNow());
  tm local{};
  localtime_r(&now, &local);
  if (local.tm_isdst > 0) {
    // Daylight saving now: half a year away the clocks show standard time.
    constexpr time_t kHalfYear = 183 * 86400;
    for (const time_t probe : {now - kHalfYear, now + kHalfYear}) {
      tm other{};
      localtime_r(&probe, &other);
      if (other.tm_isdst == 0) return static_cast<int>(-other.tm_gmtoff / 60);
    }
  }
  // (A zone that keeps daylight saving all year has no other bias.)
  return static_cast<int>(-local.tm_gmtoff / 60);
}

HostFormats& Formats() {
  static HostFormats formats;
  return formats;
}

void AppendDateTime(std::string* out, std::string_view format, TDateTime dt) {
  const DateTimeFields fields = SplitFields(dt);
  const int year = fields.year, month = fields.month, day = fields.day;
  const int hour = fields.hour, minute = fields.minute, second = fields.second, ms = fields.ms;
  const HostFormats& host = Formats();
  BlockWriter writer(out);

  bool after_hour = false;  // "m" right after an hour means minutes
  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    const char lower = AsciiLower(c);
    size_t run = 1;
    while (i + run < format.size() && AsciiLower(format[i + run]) == lower && lower != '"' &&
           lower != '\'') {
      ++run;
    }
    switch (lower) {
      case '\'':
      case '"': {
        size_t end = format.find(c, i + 1);
        if (end == std::string_view::npos) end = format.size();
        writer.Put(format.substr(i + 1, end - i - 1));
        i = end + 1;
        continue;
      }
      case 'y':
        if (run <= 2) {
          AppendNumber(&writer, year % 100, 2);
        } else {
          AppendNumber(&writer, year, 4);
        }
        break;
      case 'm':
        if (after_hour && run <= 2) {
          AppendNumber(&writer, minute, run);
        } else if (run <= 2) {
          AppendNumber(&writer, month, run);
        } else {
          writer.Put(run == 3 ? kShortMonths[month - 1] : kLongMonths[month - 1]);
        }
        break;
      case 'd':
        if (run <= 2) {
          AppendNumber(&writer, day, run);
        } else if (run <= 4) {
          writer.Put(run == 3 ? kShortDays[DayOfWeek(dt) - 1] : kLongDays[DayOfWeek(dt) - 1]);
        } else {
          AppendDateTime(writer.Flushed(), host.short_date, dt);
        }
        break;
      case 'h':
        AppendNumber(&writer, hour, run >= 2 ? 2 : 1);
        break;
      case 'n':
        AppendNumber(&writer, minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(&writer, second, run >= 2 ? 2 : 1);
        break;
      case 'z':
        AppendNumber(&writer, ms, run >= 3 ? 3 : 1);
        break;
      case 'c':
        AppendDateTime(writer.Flushed(), host.short_date, dt);
        writer.Put(' ');
        AppendDateTime(writer.Flushed(), host.long_time, dt);
        break;
      case '/':
        for (size_t k = 0; k < run; ++k) writer.Put(host.date_separator);
        break;
      case ':':
        for (size_t k = 0; k < run; ++k) writer.Put(host.time_separator);
        break;
      default:
        for (size_t k = 0; k < run; ++k) writer.Put(format[i + k]);
        break;
    }
    if (lower == 'h') {
      after_hour = true;
    } else if (AsciiLetter(lower)) {
      after_hour = false;
    }
    i += run;
  }
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
  std::string out;
  AppendDateTime(&out, format, dt);
  return out;
}

void AppendDate(std::string* out, TDateTime dt) { AppendDateTime(out, Formats().short_date, dt); }

void AppendTime(std::string* out, TDateTime dt) {
  const HostFormats& host = Formats();
  const std::string_view format = host.long_time;
  if (format.size() != 8 || (format != "hh:nn:ss" && format != "hh:mm:ss")) {
    AppendDateTime(out, format, dt);
    return;
  }
  // The host's usual format, written without reading it: a table of times
  // calls this once per row, and the time needs no date fields.
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  const int seconds = static_cast<int>(ms / 1000);
  const int fields[3] = {seconds / 3600, seconds / 60 % 60, seconds % 60};
  char text[8];
  for (int k = 0; k < 3; ++k) {
    text[3 * k] = static_cast<char>('0' + fields[k] / 10);
    text[3 * k + 1] = static_cast<char>('0' + fields[k] % 10);
  }
  text[2] = host.time_separator;
  text[5] = host.time_separator;
  out->append(text, sizeof text);
}

std::string DateToStr(TDateTime dt) { return FormatDateTime(Formats().short_date, dt); }

std::string TimeToStr(TDateTime dt) { return FormatDateTime(Formats().long_time, dt); }

std::string DateTimeToStr(TDateTime dt) {
  // Every line of a request's log starts with the time, mostly the same
  // second: the text of the last one is kept per thread, with the formats
  // it was made with.  Without a "z" the formats show nothing finer than
  // seconds, and every field comes from the same split into days and
  // milliseconds.
  struct Kept {
    int64_t days = 0;
    int64_t part = -1;
    HostFormats formats;
    std::string text;
  };
  thread_local Kept kept;
  const HostFormats& host = Formats();
  int64_t days, ms;
  SplitMilliseconds(dt, &days, &ms);
  const auto shows_ms = [](std::string_view format) {
    return format.find_first_of("zZ") != std::string_view::npos;
  };
  const int64_t part = shows_ms(host.short_date) || shows_ms(host.long_time) ? ms : ms / 1000;
  const bool same_formats =
      kept.formats.short_date == host.short_date && kept.formats.long_time == host.long_time &&
      kept.formats.date_separator == host.date_separator &&
      kept.formats.time_separator == host.time_separator;
  if (kept.part == part && kept.days == days && same_formats) return kept.text;
  std::string text = DateToStr(dt) + " " + TimeToStr(dt);
  kept.days = days;
  kept.part = part;
  kept.formats = host;
  kept.text = text;
  return text;
}

}  // namespace vantora
