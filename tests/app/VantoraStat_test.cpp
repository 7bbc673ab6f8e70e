#include "app/VantoraStat.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <vector>

#include "app/VantoraStatTestSupport.h"
#include "platform/Clock.h"
#include "platform/Coding.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"

namespace vantora {
namespace {

constexpr double kHour = 1.0 / 24;
const TDateTime kDay = EncodeDate(2026, 12, 9);  // "today" of the counter tests

void WriteHours(const std::string& path, const std::vector<THourRecord>& records) {
  std::string bytes;
  for (const THourRecord& record : records) {
    char buffer[kHourRecordSize];
    EncodeHourRecord(record, buffer);
    bytes.append(buffer, sizeof buffer);
  }
  WriteWholeFile(path, bytes);
}

std::string Dump(const TStatCounters& c) {
  auto day = [](TDateTime d) { return std::to_string(static_cast<long>(d - kDay)); };
  return "today=" + std::to_string(c.HitsToday) + " 1d=" + std::to_string(c.Hits1D) +
         " 7d=" + std::to_string(c.Hits7D) + " 30d=" + std::to_string(c.Hits30D) +
         " 365d=" + std::to_string(c.Hits365D) + " top30=" + std::to_string(c.Top30) + "@" +
         day(c.Top30Day) + " top365=" + std::to_string(c.Top365) + "@" + day(c.Top365Day) +
         " first=" + day(c.FirstDay);
}

TEST(VantoraStatCountersTest, WindowsTopDaysAndFirstDay) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/v.stat2";
  const TDateTime now = kDay + 14 * kHour + 15.0 / 1440;  // 14:15
  const TDateTime d = kDay;
  // Expected dumps count days relative to today (0 = today, -1 = yesterday).
  const struct {
    const char* name;
    std::vector<THourRecord> records;
    int offset;
    const char* expected;
  } cases[] = {
      {"no hits", {}, 0, "today=0 1d=0 7d=0 30d=0 365d=0 top30=0@0 top365=0@0 first=0"},
      {"the hour of yesterday 14:00 counts three quarters, 15:00 fully",
       {{d - 1 + 14 * kHour, 4}, {d - 1 + 15 * kHour, 5}, {d + 10 * kHour, 2}},
       0,
       "today=2 1d=10 7d=11 30d=11 365d=11 top30=9@-1 top365=9@-1 first=-1"},
      {"pro-rating rounds halves to even (4.5 -> 4)",
       {{d - 1 + 14 * kHour, 6}},
       0,
       "today=0 1d=4 7d=6 30d=6 365d=6 top30=6@-1 top365=6@-1 first=-1"},
      {"pro-rating rounds halves to even (1.5 -> 2)",
       {{d - 1 + 14 * kHour, 2}},
       0,
       "today=0 1d=2 7d=2 30d=2 365d=2 top30=2@-1 top365=2@-1 first=-1"},
      {"the best day is today",
       {{d - 1 + 9 * kHour, 3}, {d + 9 * kHour, 2}, {d + 13 * kHour, 3}},
       0,
       "today=5 1d=5 7d=8 30d=8 365d=8 top30=5@0 top365=5@0 first=-1"},
      {"yesterday closes as the last recorded day",
       {{d - 2 + 9 * kHour, 3}, {d - 1 + 9 * kHour, 4}},
       0,
       "today=0 1d=0 7d=7 30d=7 365d=7 top30=4@-1 top365=4@-1 first=-2"},
      {"40 days ago counts in the year, not in the month",
       {{d - 40 + 12 * kHour, 7}, {d - 1 + 12 * kHour, 2}},
       0,
       "today=0 1d=0 7d=2 30d=2 365d=9 top30=2@-1 top365=7@-40 first=-40"},
      {"two years ago only moves the first day",
       {{d - 730 + 12 * kHour, 50}},
       0,
       "today=0 1d=0 7d=0 30d=0 365d=0 top30=0@0 top365=0@0 first=-730"},
      {"equal days: the earliest keeps the title",
       {{d - 5 + 10 * kHour, 4}, {d - 3 + 10 * kHour, 4}},
       0,
       "today=0 1d=0 7d=8 30d=8 365d=8 top30=4@-5 top365=4@-5 first=-5"},
      {"the month's best day began less than 31 days ago",
       {{d - 31 + 10 * kHour, 9}, {d - 30 + 10 * kHour, 8}},
       0,
       "today=0 1d=0 7d=0 30d=0 365d=17 top30=8@-30 top365=9@-31 first=-31"},
      {"the oldest hours of the week, month and year windows are pro-rated",
       {{d - 365 + 13 * kHour, 1},
        {d - 365 + 14 * kHour, 8},
        {d - 30 + 14 * kHour, 4},
        {d - 7 + 13 * kHour, 4},
        {d - 7 + 14 * kHour, 8}},
       0,
       "today=0 1d=0 7d=6 30d=15 365d=22 top30=12@-7 top365=12@-7 first=-365"},
      {"damaged records with times that are no date count nowhere",
       {{std::numeric_limits<double>::quiet_NaN(), 5}, {1e300, 5}, {-1e12, 5}, {d + 9 * kHour, 1}},
       0,
       "today=1 1d=1 7d=1 30d=1 365d=1 top30=1@0 top365=1@0 first=0"},
      {"a display zone two hours east moves yesterday 23:00 into today",
       {{d - 1 + 14 * kHour, 4}, {d - 1 + 23 * kHour, 3}},
       2,
       "today=3 1d=6 7d=7 30d=7 365d=7 top30=4@-1 top365=4@-1 first=-1"},
  };
  for (const auto& c : cases) {
    unlink(path.c_str());
    if (!c.records.empty()) WriteHours(path, c.records);
    EXPECT_EQ(Dump(ComputeCountersAt(path, now, c.offset)), c.expected) << c.name;
  }
}

TEST(VantoraStatCountersTest, ExactlyOnTheHourNothingIsProRated) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/v.stat2";
  WriteHours(path, {{kDay - 1 + 14 * kHour, 5}, {kDay + 13 * kHour, 1}});
  const TStatCounters c = ComputeCountersAt(path, kDay + 14 * kHour, 0);
  EXPECT_EQ(c.Hits1D, 6);
  EXPECT_EQ(c.HitsToday, 1);
}

TEST(VantoraStatDisplayOffsetTest, RulesInOrder) {
  const struct {
    const char* name;
    TDisplayZoneInputs in;
    int expected;
  } cases[] = {
      {"nothing given", {kNoTzOverride, "", "", "", -60}, 0},
      {"override", {2, "5", "7200", "EST5", -60}, 1},
      {"override -23 still counts", {-23, "5", "", "", 0}, -23},
      {"override -24 does not", {-24, "5", "", "", 0}, 5},
      {"field", {kNoTzOverride, "1", "7200", "EST5", -60}, 0},
      {"field with sign", {kNoTzOverride, "-5", "", "", 0}, -5},
      {"field not a number", {kNoTzOverride, "abc", "7200", "", -60}, -1},
      {"GMT_OFFSET seconds", {kNoTzOverride, "", "7200", "EST5", -60}, 1},
      {"GMT_OFFSET half hour rounds to even", {kNoTzOverride, "", "5400", "", 0}, 2},
      {"GMT_OFFSET half hour rounds to even, down", {kNoTzOverride, "", "1800", "", 0}, 0},
      {"GMT_OFFSET not a number", {kNoTzOverride, "", "x", "", 120}, 2},
      {"TZ variable hours west", {kNoTzOverride, "", "", "EST5EDT", 0}, -5},
      {"TZ variable with sign and minutes", {kNoTzOverride, "", "", "GMT+01:00", 0}, -1},
      {"TZ variable east", {kNoTzOverride, "", "", "CET-1CEST", -60}, 0},
      {"TZ variable without a number", {kNoTzOverride, "", "", "UTC", -60}, -1},
      {"standard bias truncates towards zero", {0, "", "", "", -330}, -5},
      {"standard bias west", {0, "", "", "", 300}, 5},
      // Held within a day either way, so no sum can overflow.
      {"huge override", {2147483647, "", "", "", 720}, 24},
      {"override beyond a day", {30, "", "", "", 0}, 24},
      {"huge field", {kNoTzOverride, "999999999", "", "", 0}, 24},
      {"huge negative field", {kNoTzOverride, "-999999999", "", "", -720}, -24},
      {"field beyond int", {kNoTzOverride, "99999999999999999999", "", "", 0}, 0},
      {"huge GMT_OFFSET", {kNoTzOverride, "", "-999999999", "", 0}, -24},
      {"huge TZ variable", {kNoTzOverride, "", "", "X-999999999", 0}, 24},
  };
  for (const auto& c : cases) EXPECT_EQ(ComputeDisplayOffset(c.in), c.expected) << c.name;
}

// A statistics module whose files lie in a scratch folder, with a fake
// resolver, a fixed zone and a clock set by the test.
class VantoraStatModuleTest : public ::testing::Test {
 protected:
  VantoraStatModuleTest() {
    SetModuleFileNameForTesting(dir_.path() + "/vantora.cgi");
    module_.SetResolver(resolver_);
  }
  ~VantoraStatModuleTest() override { SetModuleFileNameForTesting(""); }

  void SetNow(TDateTime local) {
    clock_.reset();  // the old clock clears the fake time when it goes
    clock_ = std::make_unique<ScopedFakeClock>(LocalToUnix(local));
  }
  std::string Visitors1() { return ReadWholeFile(dir_.path() + "/vantora.stat1"); }
  std::string Hours2() { return ReadWholeFile(dir_.path() + "/vantora.stat2"); }
  TVisitorRecord Slot(int slot) {
    return DecodeVisitorRecord(Visitors1().data() + kVisitorHeaderSize + slot * kVisitorRecordSize);
  }
  static THitRequest Request(const std::string& address, const std::string& agent = "Agent/1") {
    THitRequest request;
    request.remote_addr = address;
    request.remote_host = address;
    request.user_agent = agent;
    request.referer = "http://site.example/page.htm";
    return request;
  }

  ScopedTimeZone zone_{"UTC0"};
  ScopedTempDir dir_;
  std::shared_ptr<FakeResolver> resolver_ = std::make_shared<FakeResolver>("pc7.example.de");
  TSiteStatistic module_{nullptr};
  std::unique_ptr<ScopedFakeClock> clock_;
};

TEST_F(VantoraStatModuleTest, FirstHitCreatesBothFilesWithTheLookedUpName) {
  SetNow(kDay + 14 * kHour + 10.0 / 1440);
  module_.RecordHit(Request("10.1.2.3"));
  ASSERT_EQ(Visitors1().size(), 216u);
  ASSERT_EQ(Hours2().size(), 12u);
  const TVisitorRecord stored = Slot(0);
  EXPECT_EQ(stored.Time, Now());
  EXPECT_EQ(stored.Address, "10.1.2.3");
  EXPECT_EQ(stored.Agent, "Agent/1");
  EXPECT_EQ(stored.Referrer, "http://site.example/page.htm");
  EXPECT_EQ(stored.HostName, "pc7.example.de");
  EXPECT_EQ(resolver_->calls(), 1);
  const THourRecord hour = DecodeHourRecord(Hours2().data());
  EXPECT_NEAR(hour.Time, kDay + 14 * kHour, 1e-9);
  EXPECT_EQ(hour.Hits, 1);

  // The same visitor a minute later changes nothing and looks nothing up.
  const std::string before = Visitors1() + Hours2();
  SetNow(kDay + 14 * kHour + 11.0 / 1440);
  module_.RecordHit(Request("10.1.2.3"));
  EXPECT_EQ(Visitors1() + Hours2(), before);
  EXPECT_EQ(resolver_->calls(), 1);
}

TEST_F(VantoraStatModuleTest, RefererFieldOrTheRequestsReferrer) {
  const struct {
    const char* field;
    const char* stored;
  } cases[] = {
      {"http://search.example/?q=a", "http://search.example/?q=a"},
      {"unknown", "http://site.example/page.htm"},
      {"", ""},
      {"Unknown", "Unknown"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SetNow(kDay + 10 * kHour + n / 1440.0);
    THitRequest request = Request("10.0.0." + std::to_string(++n));
    request.referer_field = c.field;
    module_.RecordHit(request);
    EXPECT_EQ(Slot(n - 1).Referrer, c.stored) << c.field;
  }
  // Cut to 80 characters.
  THitRequest request = Request("10.0.0.99");
  request.referer_field = std::string(90, 'r');
  module_.RecordHit(request);
  EXPECT_EQ(Slot(n).Referrer, std::string(80, 'r'));
}

TEST_F(VantoraStatModuleTest, LoopbackRemoteHostIsNotLookedUp) {
  SetNow(kDay + 10 * kHour);
  THitRequest request = Request("127.0.0.1");
  module_.RecordHit(request);
  EXPECT_EQ(resolver_->calls(), 0);
  EXPECT_EQ(Slot(0).HostName, "");
  EXPECT_EQ(DecodeHourRecord(Hours2().data()).Hits, 1);
}

TEST_F(VantoraStatModuleTest, ANameTheResolverKnowsAtOnceNeedsNoLookup) {
  SetNow(kDay + 10 * kHour);
  auto hosts = std::make_shared<FakeResolver>("office.example", std::chrono::milliseconds(0),
                                              /*known=*/true);
  module_.SetResolver(hosts);
  module_.RecordHit(Request("10.1.2.3"));
  EXPECT_EQ(Slot(0).HostName, "office.example");
  EXPECT_EQ(hosts->last_address(), "10.1.2.3");
  EXPECT_EQ(hosts->calls(), 0);
}

TEST_F(VantoraStatModuleTest, LookupUsesTheFullIpv6Address) {
  SetNow(kDay + 10 * kHour);
  const std::string address = "2001:db8:85a3::8a2e:370:7334";
  module_.RecordHit(Request(address));
  EXPECT_EQ(resolver_->last_address(), address);
  EXPECT_EQ(Slot(0).Address, address.substr(0, 16));
  EXPECT_EQ(Slot(0).HostName, "pc7.example.de");
}

TEST_F(VantoraStatModuleTest, LookupPastTheDeadlineStoresTheHitOnceWithoutName) {
  auto slow = std::make_shared<FakeResolver>("too.late.example", std::chrono::milliseconds(300));
  module_.SetResolver(slow);
  module_.SetLookupDeadline(std::chrono::milliseconds(20));
  SetNow(kDay + 10 * kHour);
  module_.RecordHit(Request("10.9.9.9"));
  ASSERT_EQ(Visitors1().size(), 216u);
  EXPECT_EQ(Slot(0).HostName, "");
  EXPECT_EQ(Hours2().size(), 12u);
  EXPECT_EQ(DecodeHourRecord(Hours2().data()).Hits, 1);
}

TEST_F(VantoraStatModuleTest, LoadStatisticsReadsBothFilesBack) {
  // Three visitors today, one yesterday, in a ring whose slots are not in
  // time order.
  const TDateTime times[] = {kDay - 1 + 20 * kHour, kDay + 9 * kHour, kDay + 8 * kHour,
                             kDay + 11 * kHour};
  int n = 0;
  for (TDateTime t : times) {
    SetNow(t);
    module_.RecordHit(Request("10.0.0." + std::to_string(++n)));
  }
  SetNow(kDay + 12 * kHour);
  module_.LoadStatistics(true, true);
  const std::shared_ptr<const TVisitorList> list = Visitors();
  ASSERT_EQ(list->VisitorCount, 4);
  EXPECT_EQ(VisitorCount(), 4);
  const char* newest_first[] = {"10.0.0.4", "10.0.0.2", "10.0.0.3", "10.0.0.1"};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(list->Visitors[k].Address, newest_first[k]) << k;
  EXPECT_EQ(list->Visitors[4].Time, 0);

  EXPECT_EQ(module_.HitsToday(), 3);
  EXPECT_EQ(module_.Hits1D(), 4);
  EXPECT_EQ(module_.Top30(), 3);
  EXPECT_EQ(module_.Top30Day(), kDay);
  EXPECT_EQ(module_.FirstDay(), kDay - 1);

  // Without files: an empty list and zero counters.
  unlink((dir_.path() + "/vantora.stat1").c_str());
  unlink((dir_.path() + "/vantora.stat2").c_str());
  module_.LoadStatistics(true, true);
  EXPECT_EQ(VisitorCount(), 0);
  EXPECT_EQ(module_.Hits365D(), 0);
  EXPECT_EQ(module_.Top365Day(), kDay);
}

TEST_F(VantoraStatModuleTest, ALoadedListIsKeptOnlyWhileTheFileIsUnchanged) {
  const std::string path = dir_.path() + "/vantora.stat1";
  SetNow(kDay + 9 * kHour);
  module_.RecordHit(Request("10.0.0.1"));
  module_.LoadVisitors(path);
  const std::shared_ptr<const TVisitorList> first = Visitors();
  module_.LoadVisitors(path);
  EXPECT_EQ(Visitors(), first) << "an unchanged file is not read again";

  // An append by anyone (here: the module itself) is seen at the next load.
  SetNow(kDay + 10 * kHour);
  module_.RecordHit(Request("10.0.0.2"));
  module_.LoadVisitors(path);
  ASSERT_NE(Visitors(), first);
  EXPECT_EQ(Visitors()->Visitors[0].Address, "10.0.0.2");

  // A record rewritten in place within the same tick of the file clock: same
  // size, same modification time, other bytes.
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  std::string bytes = ReadWholeFile(path);
  const size_t address = kVisitorHeaderSize + kVisitorRecordSize + 155;  // slot 1's address
  ASSERT_EQ(bytes.substr(address, 8), "10.0.0.2");
  bytes[address + 7] = '9';
  WriteWholeFile(path, bytes);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  module_.LoadVisitors(path);
  EXPECT_EQ(Visitors()->Visitors[0].Address, "10.0.0.9");

  // Another file, or none.
  module_.LoadVisitors(dir_.path() + "/missing.stat1");
  EXPECT_EQ(VisitorCount(), 0);
  module_.LoadVisitors(path);
  EXPECT_EQ(VisitorCount(), 2);
}

TEST_F(VantoraStatModuleTest, VisitorListKeepsEqualTimesInRingOrder) {
  VisitorFileContents contents;
  contents.newest_slot = 1;
  for (const char* address : {"a", "b", "c"}) {
    contents.slots.push_back(MakeVisitorRecord(kDay, "", "", address));
  }
  contents.slots[2].Time = kDay - 1;
  // Ring order from the newest: b (slot 1), a (slot 0), then c (slot 2).
  const auto list = BuildVisitorList(contents);
  EXPECT_EQ(list->Visitors[0].Address, "b");
  EXPECT_EQ(list->Visitors[1].Address, "a");
  EXPECT_EQ(list->Visitors[2].Address, "c");
}

TEST_F(VantoraStatModuleTest, DisplayOffsetUsesTheStandardBiasOfTheZone) {
  ScopedTimeZone central(kCentralEurope);
  SetNow(EncodeDate(2026, 7, 1) + 12 * kHour);  // daylight saving time
  SetTzOverride(2);
  EXPECT_EQ(module_.DisplayOffset(), 1);
  SetTzOverride(kNoTzOverride);
  EXPECT_EQ(module_.DisplayOffset(), 0);
}

TEST_F(VantoraStatModuleTest, RequestValuesComeThroughTheEngine) {
  FakeEngine engine;
  engine.variables = {{"REMOTE ADDR", "192.0.2.7"},
                      {"REMOTE HOST", "192.0.2.7"},
                      {"HTTP USER AGENT", "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)"},
                      {"HTTP REFERER", "http://site.example/"},
                      {"GMT_OFFSET", "-18000"}};
  engine.request_data = "referer=http%3A%2F%2Fsearch.example%2F&TZ=";
  engine.OnExecRequest = [&](TComponent*) { module_.RecordHit(); };
  SetNow(kDay + 10 * kHour);
  engine.RunRequest();
  const TVisitorRecord stored = Slot(0);
  EXPECT_EQ(stored.Address, "192.0.2.7");
  EXPECT_EQ(stored.Agent, "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)");
  EXPECT_EQ(stored.Referrer, "http://search.example/");
  EXPECT_EQ(stored.HostName, "pc7.example.de");

  // Missing values read as the sentinel: they are stored empty.
  FakeEngine bare;
  bare.missing_value = kNotAvailable;
  bare.variables = {{"REMOTE ADDR", "192.0.2.8"}, {"REMOTE HOST", "127.0.0.1"}};
  bare.OnExecRequest = [&](TComponent*) { module_.RecordHit(); };
  bare.RunRequest();
  EXPECT_EQ(Slot(1).Address, "192.0.2.8");
  EXPECT_EQ(Slot(1).Referrer, "");
  EXPECT_EQ(Slot(1).Agent, "");
  EXPECT_EQ(Slot(1).HostName, "");

  int offset = 99;
  engine.OnExecRequest = [&](TComponent*) { offset = module_.DisplayOffset(); };
  engine.RunRequest();
  EXPECT_EQ(offset, -5);  // GMT_OFFSET, the empty TZ field being passed over
}

TEST(VantoraStatStateTest, TzOverrideAndStatsPendingBelongToTheServingThread) {
  SetTzOverride(3);
  SetStatsPending(true);
  int other_tz = 0;
  bool other_pending = true;
  std::thread([&] {
    other_tz = TzOverride();
    other_pending = StatsPending();
    SetTzOverride(-5);
  }).join();
  EXPECT_EQ(other_tz, kNoTzOverride);
  EXPECT_FALSE(other_pending);
  EXPECT_EQ(TzOverride(), 3);
  SetTzOverride(kNoTzOverride);
  SetStatsPending(false);
}

TEST(VantoraStatStateTest, ConcurrentLoadsNeverShowAHalfWrittenList) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/v.stat1";
  for (int n = 0; n < 500; ++n) {
    AppendVisitorToFile(path, MakeVisitorRecord(kDay + n / 1440.0, "", "A", std::to_string(n)),
                        nullptr, 1.0 / 48);
  }
  TSiteStatistic module(nullptr);
  std::atomic<bool> stop{false};
  std::thread loader([&] {
    while (!stop) {
      module.LoadVisitors(path);
      module.LoadVisitors(dir.path() + "/missing.stat1");
    }
  });
  for (int k = 0; k < 2000; ++k) {
    const auto list = Visitors();
    ASSERT_TRUE(list->VisitorCount == 0 || list->VisitorCount == 500);
    if (list->VisitorCount == 500) {
      ASSERT_EQ(list->Visitors[0].Address, "499");
      ASSERT_EQ(list->Visitors[499].Address, "0");
    }
  }
  stop = true;
  loader.join();
}

}  // namespace
}  // namespace vantora
