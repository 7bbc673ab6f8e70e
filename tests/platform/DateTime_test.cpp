#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "support/ScopedTimeZone.h"

namespace vantora {
namespace {

TEST(DateTime, KnownDayNumbers) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(1970, 1, 1), kUnixEpochDays);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585);
  EXPECT_EQ(EncodeDate(2026, 12, 6), 46362);
  bool ok = true;
  EXPECT_EQ(EncodeDate(2026, 2, 29, &ok), 0);
  EXPECT_FALSE(ok);
}

TEST(DateTime, DecodeRoundTripsEveryDayOfFourCenturies) {
  for (int serial = 0; serial < 146097; serial += 1) {
    int y, m, d;
    DecodeDate(serial + 0.5, &y, &m, &d);
    ASSERT_EQ(EncodeDate(y, m, d), serial) << y << "-" << m << "-" << d;
  }
}

TEST(DateTime, TimeOfDayRoundsToTheMillisecond) {
  // 23:59:59.9996 rounds up to the next day at midnight: date and time agree.
  TDateTime dt = EncodeDate(2026, 12, 31) + (kMillisecondsPerDay - 0.4) / kMillisecondsPerDay;
  int y, m, d, h, n, s, ms;
  DecodeDate(dt, &y, &m, &d);
  DecodeTime(dt, &h, &n, &s, &ms);
  EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, ms}), (std::vector<int>{2027, 1, 1, 0, 0, 0, 0}));
  DecodeTime(EncodeTime(13, 49, 7, 250), &h, &n, &s, &ms);
  EXPECT_EQ((std::vector<int>{h, n, s, ms}), (std::vector<int>{13, 49, 7, 250}));
}

TEST(DateTime, DayOfWeekStartsOnSunday) {
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);  // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(2000, 1, 1)), 7);   // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30) + 0.99), 7);
}

TEST(DateTime, FormatterCases) {
  const TDateTime dt = EncodeDate(2026, 3, 7) + EncodeTime(9, 5, 4, 30);
  struct Case {
    const char* format;
    const char* text;
  } cases[] = {
      {"yyyy/mm/dd", "2026/03/07"},
      {"yy/m/d", "26/3/7"},
      {"hh:nn:ss", "09:05:04"},
      {"hh:mm", "09:05"},
      {"HH:MM DD.MM.YYYY", "09:05 07.03.2026"},
      {"h:n:s.zzz", "9:5:4.030"},
      {"ddd, dd mmm yyyy", "Sat, 07 Mar 2026"},
      {"dddd mmmm", "Saturday March"},
      {"'yyyy' \"mm\"", "yyyy mm"},
      {"c", "2026/03/07 09:05:04"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.format, dt), c.text) << c.format;

  HostFormats saved = Formats();
  Formats().date_separator = '.';
  EXPECT_EQ(FormatDateTime("dd/mm", dt), "07.03");
  Formats() = saved;
}

// DateTimeToStr keeps the text of the last second: a change of the formats,
// or a format that shows milliseconds, is never answered from it.
TEST(DateTimeTest, DateTimeToStrFollowsTheFormatsWithinOneSecond) {
  const HostFormats saved = Formats();
  const TDateTime dt = EncodeDate(2026, 3, 7) + EncodeTime(9, 5, 4, 30);
  EXPECT_EQ(DateTimeToStr(dt), "2026/03/07 09:05:04");
  Formats().date_separator = '.';
  Formats().short_date = "dd/mm/yyyy";
  EXPECT_EQ(DateTimeToStr(dt), "07.03.2026 09:05:04");
  Formats().long_time = "hh:nn:ss.zzz";
  EXPECT_EQ(DateTimeToStr(dt), "07.03.2026 09:05:04.030");
  EXPECT_EQ(DateTimeToStr(dt + 10.0 / kMillisecondsPerDay), "07.03.2026 09:05:04.040");
  Formats() = saved;
  EXPECT_EQ(DateTimeToStr(dt + 0.5 / 86400), "2026/03/07 09:05:04");
  EXPECT_EQ(DateTimeToStr(dt + 1.0 / 86400), "2026/03/07 09:05:05");
}

// The appending forms add the formatter's text after what the string holds.
TEST(DateTime, AppendingFormsAddTheFormattedText) {
  const TDateTime dt = EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 999);
  for (const char* format :
       {"yyyy/mm/dd", "hh:nn:ss", "ddddd 'at' h:mm", "c", "dddd d mmmm yy", "zzz", ""}) {
    std::string out = "row ";
    AppendDateTime(&out, format, dt);
    EXPECT_EQ(out, "row " + FormatDateTime(format, dt)) << format;
  }
  std::string out = "<b>";
  AppendDate(&out, dt);
  out += "</b>";
  AppendTime(&out, dt);
  EXPECT_EQ(out, "<b>" + DateToStr(dt) + "</b>" + TimeToStr(dt));
  EXPECT_EQ(out, "<b>1999/12/31</b>23:59:59");
}

// AppendTime writes the host's usual time formats itself and hands any other
// to the formatter: the text is the formatter's in every case, at every
// second of a day, around midnight and with the milliseconds rounded.
TEST(DateTime, AppendTimeGivesTheFormattersTextForEveryLongTimeFormat) {
  const HostFormats saved = Formats();
  const TDateTime day = EncodeDate(2026, 12, 10);
  std::vector<TDateTime> times = {day + EncodeTime(23, 59, 59, 999) + 0.4 / kMillisecondsPerDay,
                                  day + EncodeTime(23, 59, 59, 999) + 0.6 / kMillisecondsPerDay,
                                  day - 0.25, EncodeDate(1899, 12, 30) - 1.5};
  for (int second = 0; second < 86400; second += 7) times.push_back(day + second / 86400.0);
  for (const char* format : {"hh:nn:ss", "hh:mm:ss", "h:nn:ss", "hh:nn", "HH:NN:SS", "hh.nn.ss"}) {
    for (const char separator : {':', '.'}) {
      Formats().long_time = format;
      Formats().time_separator = separator;
      for (const TDateTime t : times) {
        std::string out = "x";
        AppendTime(&out, t);
        ASSERT_EQ(out, "x" + FormatDateTime(format, t)) << format << " " << separator << " " << t;
      }
    }
  }
  Formats() = saved;
}

TEST(DateTime, LocalTimeAndBiasFollowTheZone) {
  ScopedTimeZone zone(kCentralEurope);
  // 2000-01-01 11:00:00 UTC is 12:00 local in winter.
  ScopedFakeClock clock(946724400.0);
  EXPECT_DOUBLE_EQ(Now(), EncodeDate(2000, 1, 1) + EncodeTime(12, 0, 0, 0));
  EXPECT_EQ(ZoneBiasMinutes(), -60);
  EXPECT_EQ(StandardBiasMinutes(), -60);
  EXPECT_DOUBLE_EQ(LocalToUnix(EncodeDate(2000, 1, 1) + EncodeTime(12, 0, 0, 0)), 946724400.0);

  // In summer daylight saving adds an hour to the bias but not the standard bias.
  SetFakeUnixTime(LocalToUnix(EncodeDate(2026, 7, 1) + 0.5));
  EXPECT_EQ(ZoneBiasMinutes(), -120);
  EXPECT_EQ(StandardBiasMinutes(), -60);
}

// The standard bias in either season, north and south of the equator.
TEST(DateTime, StandardBiasLeavesDaylightSavingOut) {
  struct Case {
    const char* zone;
    double unix_time;
    int standard_bias;
  };
  constexpr double kJanuary = 1767268800.0;  // 2026-01-01 12:00 UTC
  constexpr double kJuly = 1782907200.0;     // 2026-07-01 12:00 UTC
  const Case cases[] = {
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", kJanuary, -600},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", kJuly, -600},
      {"EST5EDT,M3.2.0,M11.1.0", kJuly, 300},
      {"UTC0", kJuly, 0},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    ScopedFakeClock clock(c.unix_time);
    EXPECT_EQ(StandardBiasMinutes(), c.standard_bias) << c.zone << " at " << c.unix_time;
  }
}

}  // namespace
}  // namespace vantora
