#include "app/VantoraStatFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>

#include "app/VantoraStatTestSupport.h"
#include "platform/Coding.h"
#include "platform/LockedFile.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/StderrCapture.h"

namespace vantora {
namespace {

constexpr double kMinute = 1.0 / 1440;
constexpr double kHour = 1.0 / 24;
constexpr double kWindow = 1.0 / 48;

TDateTime At(int hour, int minute, int second = 0) {
  return EncodeDate(2026, 12, 9) + EncodeTime(hour, minute, second, 0);
}

std::string Address(int n) {
  return "10.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

class VantoraStatFilesTest : public ::testing::Test {
 protected:
  // True when the hit counts.
  bool Append(const TVisitorRecord& record) {
    return AppendVisitorToFile(visitors_, record, nullptr, kWindow) != TVisitorAppend::kRepeat;
  }
  bool Append(TDateTime time, const std::string& address, const std::string& agent) {
    return Append(MakeVisitorRecord(time, "http://example.com/", agent, address));
  }
  int32_t StoredIndex() {
    return static_cast<int32_t>(DecodeFixed32(ReadWholeFile(visitors_).data()));
  }
  // Appends a visitor as another process does, through an open file of its
  // own; without the index write it stops where a kill between the two
  // writes leaves the file.
  void ForeignAppend(TDateTime time, const std::string& address, bool with_index) {
    LockedFile file;
    ASSERT_EQ(file.Open(visitors_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kOk);
    char header[4];
    ASSERT_EQ(file.ReadAt(header, sizeof header, 0), 4);
    const int slot = (static_cast<int>(DecodeFixed32(header)) + 1) % kVisitorSlots;
    char bytes[kVisitorRecordSize];
    EncodeVisitorRecord(MakeVisitorRecord(time, "", "A", address), bytes);
    ASSERT_TRUE(file.WriteAt(bytes, sizeof bytes, 4 + slot * kVisitorRecordSize));
    EncodeFixed32(header, static_cast<uint32_t>(slot));
    if (with_index) {
      ASSERT_TRUE(file.WriteAt(header, sizeof header, 0));
    }
  }

  ScopedTempDir folder_;
  std::string visitors_ = folder_.path() + "/vantora.stat1";
  std::string hours_ = folder_.path() + "/vantora.stat2";
};

TEST(VantoraStatLayoutTest, VisitorRecordFieldsLieAtTheirOffsets) {
  const TVisitorRecord record = MakeVisitorRecord(
      46000.5, std::string(100, 'r'), std::string(70, 'a'), "192.168.100.200:1", "host.example");
  char bytes[kVisitorRecordSize];
  std::memset(bytes, 0x55, sizeof bytes);
  EncodeVisitorRecord(record, bytes);

  EXPECT_EQ(DecodeDouble(bytes), 46000.5);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0 + 7]), 0x40);  // little-endian: sign/exponent last
  struct Field {
    int offset;
    size_t size;
    std::string text;
  };
  const Field fields[] = {{8, 80, std::string(80, 'r')},
                          {89, 64, std::string(64, 'a')},
                          {154, 16, "192.168.100.200:"},
                          {171, 40, "host.example"}};
  for (const Field& field : fields) {
    SCOPED_TRACE(field.offset);
    EXPECT_EQ(static_cast<unsigned char>(bytes[field.offset]), field.text.size());
    EXPECT_EQ(std::string(bytes + field.offset + 1, field.text.size()), field.text);
    // The unused rest of the area is zero, up to the next field.
    for (size_t k = field.text.size(); k < field.size; ++k) {
      ASSERT_EQ(bytes[field.offset + 1 + k], 0) << k;
    }
  }
  EXPECT_EQ(171 + 41, kVisitorRecordSize);

  const TVisitorRecord back = DecodeVisitorRecord(bytes);
  EXPECT_EQ(back.Time, record.Time);
  EXPECT_EQ(back.Referrer, record.Referrer);
  EXPECT_EQ(back.Agent, record.Agent);
  EXPECT_EQ(back.Address, "192.168.100.200:");
  EXPECT_EQ(back.HostName, "host.example");
}

TEST(VantoraStatLayoutTest, DamagedFieldsReadSafely) {
  char bytes[kVisitorRecordSize] = {};
  std::memset(bytes + 154, 'x', 17);
  bytes[154] = static_cast<char>(255);  // address length beyond its 16 characters
  EncodeDouble(bytes, std::numeric_limits<double>::quiet_NaN());
  const TVisitorRecord record = DecodeVisitorRecord(bytes);
  EXPECT_EQ(record.Address, std::string(16, 'x'));
  EXPECT_EQ(record.HostName, "");
  EXPECT_EQ(record.Time, 0);  // a time that is not a number reads as an empty slot
}

// A record's texts are held in place and cut as storing would cut them,
// whichever way they are given; a copied record keeps its texts.
TEST(VantoraStatLayoutTest, RecordTextsHoldAtMostTheirFieldSize) {
  TVisitorRecord record;
  EXPECT_TRUE(record.HostName.empty());
  record.HostName = std::string(45, 'h');
  record.Referrer = "http://ref.example/";
  EXPECT_EQ(record.HostName, std::string(kHostNameSize, 'h'));
  const TVisitorRecord copy = record;
  record.HostName = "";
  EXPECT_EQ(copy.HostName.size(), kHostNameSize);
  EXPECT_EQ(copy.Referrer, "http://ref.example/");
  EXPECT_TRUE(record.HostName.empty());
  EXPECT_EQ(copy.Referrer.view().substr(0, 7), "http://");
}

TEST(VantoraStatLayoutTest, HourRecordIsTimeThenHits) {
  char bytes[kHourRecordSize];
  EncodeHourRecord(THourRecord{46000.25, 0x01020304}, bytes);
  EXPECT_EQ(DecodeDouble(bytes), 46000.25);
  EXPECT_EQ(std::string(bytes + 8, 4), std::string("\x04\x03\x02\x01", 4));
  const THourRecord back = DecodeHourRecord(bytes);
  EXPECT_EQ(back.Time, 46000.25);
  EXPECT_EQ(back.Hits, 0x01020304);
}

TEST(VantoraStatLayoutTest, HourStartCutsToTheWholeHour) {
  const struct {
    TDateTime time;
    TDateTime hour;
  } cases[] = {
      {At(14, 0), At(14, 0)},
      {At(14, 59, 59) + 999.0 / 86400000, At(14, 0)},
      {At(0, 0), At(0, 0)},
      {At(23, 30), At(23, 0)},
      {EncodeDate(2026, 12, 9) + 14 * kHour, EncodeDate(2026, 12, 9) + 14 * kHour},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(HourStart(c.time), c.hour, 1e-9) << FormatDateTime("hh:nn:ss.zzz", c.time);
  }
}

TEST(VantoraStatLayoutTest, StatisticsBasePathCutsFilterAndExtension) {
  const struct {
    const char* module;
    const char* base;
  } cases[] = {
      {"/srv/cgi-bin/vantora", "/srv/cgi-bin/vantora"},
      {"/srv/cgi-bin/vantora.cgi", "/srv/cgi-bin/vantora"},
      {"/srv/stat/counter.so", "/srv/stat/counter"},
      {"/srv/stat/counterFilter.so", "/srv/stat/counter"},
      {"/srv/stat/COUNTERFILTER.SO", "/srv/stat/COUNTER"},
      {"/srv/stat/counterfilter", "/srv/stat/counter"},
      {"/srv/myfilter/bin/vantora.cgi", "/srv/my"},
      {"/srv/a.d/vantora", "/srv/a.d/vantora"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatisticsBasePath(c.module), c.base) << c.module;
}

TEST_F(VantoraStatFilesTest, FirstHitCreatesBothFiles) {
  const TDateTime now = At(14, 10, 5);
  EXPECT_TRUE(Append(MakeVisitorRecord(now, "ref", "agent", "10.1.2.3", "h.example")));
  AddHourlyHitToFile(hours_, now);

  const std::string visitors = ReadWholeFile(visitors_);
  ASSERT_EQ(visitors.size(), 216u);
  EXPECT_EQ(DecodeFixed32(visitors.data()), 0u);
  const TVisitorRecord stored = DecodeVisitorRecord(visitors.data() + 4);
  EXPECT_EQ(stored.Time, now);
  EXPECT_EQ(stored.Address, "10.1.2.3");
  EXPECT_EQ(stored.HostName, "h.example");

  const std::string hours = ReadWholeFile(hours_);
  ASSERT_EQ(hours.size(), 12u);
  EXPECT_NEAR(DecodeHourRecord(hours.data()).Time, At(14, 0), 1e-9);
  EXPECT_EQ(DecodeHourRecord(hours.data()).Hits, 1);
}

TEST_F(VantoraStatFilesTest, HoursGainHitsAndNewBucketsInTimeOrder) {
  AddHourlyHitToFile(hours_, At(14, 10));
  AddHourlyHitToFile(hours_, At(14, 59));
  AddHourlyHitToFile(hours_, At(15, 0));
  // A process that read the clock just before the hour turned and counts
  // after another one opened the next hour still lands in its own hour.
  AddHourlyHitToFile(hours_, At(14, 59, 59));
  AddHourlyHitToFile(hours_, At(17, 30));

  std::vector<THourRecord> records;
  ForEachHourRecord(hours_, [&](const THourRecord& r) { records.push_back(r); });
  ASSERT_EQ(records.size(), 3u);
  const std::pair<TDateTime, int> expected[] = {{At(14, 0), 3}, {At(15, 0), 1}, {At(17, 0), 1}};
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(records[k].Time, expected[k].first, 1e-9) << k;
    EXPECT_EQ(records[k].Hits, expected[k].second) << k;
  }
}

TEST_F(VantoraStatFilesTest, RepeatWindow) {
  const struct {
    const char* name;
    double later;
    const char* address;
    const char* agent;
    bool counted;
  } cases[] = {
      {"29 minutes, same visitor", 29 * kMinute, "10.0.0.1", "Agent/1", false},
      {"exactly 30 minutes", 30 * kMinute, "10.0.0.1", "Agent/1", false},
      {"31 minutes", 31 * kMinute, "10.0.0.1", "Agent/1", true},
      {"another user agent", 1 * kMinute, "10.0.0.1", "Agent/2", true},
      {"another address", 1 * kMinute, "10.0.0.2", "Agent/1", true},
      {"agent differing in case", 1 * kMinute, "10.0.0.1", "agent/1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(visitors_.c_str());
    const TDateTime first = At(14, 0, 7) + 123.0 / 86400000;
    ASSERT_TRUE(Append(first, "10.0.0.1", "Agent/1"));
    const std::string before = ReadWholeFile(visitors_);
    EXPECT_EQ(Append(first + c.later, c.address, c.agent), c.counted);
    const std::string after = ReadWholeFile(visitors_);
    if (c.counted) {
      EXPECT_EQ(after.size(), 4u + 2 * 212);
    } else {
      EXPECT_EQ(after, before);
    }
  }
}

TEST_F(VantoraStatFilesTest, RepeatScanLooksPastNewerVisitorsAndStopsAtTheWindow) {
  const TDateTime t0 = At(10, 0);
  ASSERT_TRUE(Append(t0, "10.0.0.1", "A"));
  ASSERT_TRUE(Append(t0 + 5 * kMinute, "10.0.0.2", "A"));
  ASSERT_TRUE(Append(t0 + 6 * kMinute, "10.0.0.3", "A"));
  EXPECT_FALSE(Append(t0 + 20 * kMinute, "10.0.0.1", "A"));  // three records back
  // 10.0.0.1 now lies beyond the window, behind 10.0.0.2 that is still inside.
  EXPECT_TRUE(Append(t0 + 34 * kMinute, "10.0.0.1", "A"));
}

TEST_F(VantoraStatFilesTest, TextsAreComparedAsStoredAfterCutting) {
  const std::string agent(64, 'a');
  ASSERT_TRUE(Append(At(10, 0), "2001:db8::1:2:3:4:5", agent + "first"));
  EXPECT_FALSE(Append(At(10, 1), "2001:db8::1:2:3:4:6", agent + "second"));
}

TEST_F(VantoraStatFilesTest, RingWrapsAfter500Visitors) {
  // 31 minutes apart, so each repeat test stops after one record.
  for (int n = 0; n < 501; ++n) {
    ASSERT_TRUE(Append(At(0, 0) + n * 31 * kMinute, Address(n), "A")) << n;
    if (n == 499) {
      EXPECT_EQ(ReadWholeFile(visitors_).size(), 106004u);
      EXPECT_EQ(StoredIndex(), 499);
    }
  }
  const std::string bytes = ReadWholeFile(visitors_);
  ASSERT_EQ(bytes.size(), 106004u);
  EXPECT_EQ(StoredIndex(), 0);
  EXPECT_EQ(DecodeVisitorRecord(bytes.data() + 4).Address, Address(500));
  EXPECT_EQ(DecodeVisitorRecord(bytes.data() + 4 + 212).Address, Address(1));
}

TEST_F(VantoraStatFilesTest, RepeatTestFollowsTheRingAcrossSlotZero) {
  // Fill the ring with visitors all inside one window, then wrap twice.
  for (int n = 0; n < 502; ++n) {
    ASSERT_TRUE(Append(At(10, 0) + n * 0.001 * kMinute, Address(n), "A")) << n;
  }
  EXPECT_EQ(StoredIndex(), 1);
  // Once with the copy of the ring this process keeps, once as a process's
  // first append, which reads the slots from the file backwards in batches.
  for (const bool first_append : {false, true}) {
    SCOPED_TRACE(first_append ? "first append of a process" : "with the kept copy");
    const auto probe = [&](const std::string& address) {
      if (first_append) ForgetVisitorAppends();
      return Append(At(10, 1), address, "A");
    };
    EXPECT_FALSE(probe(Address(499)));  // stored in slot 499
    EXPECT_FALSE(probe(Address(250)));  // the middle of the ring
    EXPECT_FALSE(probe(Address(2)));    // the oldest record, slot 2
    EXPECT_FALSE(probe(Address(501)));  // the newest, slot 1
  }
  ForgetVisitorAppends();
  EXPECT_TRUE(Append(At(10, 1), Address(0), "A"));  // overwritten by the wrap
  // The record just stored by a process's first append is seen by the next
  // one, which builds its copy from the file.
  EXPECT_FALSE(Append(At(10, 1), Address(0), "A"));
}

TEST_F(VantoraStatFilesTest, RepeatTestSeesWhatOtherProcessesWroteMeanwhile) {
  // This process keeps the records it read between its appends; whatever
  // another process writes in between must reach its next repeat test.
  const auto five_hundred_more = [this] {
    for (int n = 0; n < 500; ++n) ForeignAppend(At(10, 2), Address(1000 + n), true);
  };
  const struct {
    const char* name;
    int visitors;  // stored by this process first, all inside one window
    std::function<void()> meanwhile;
    std::string probe;  // the address this process then records
    bool counted;
  } cases[] = {
      {"another process appends", 3, [this] { ForeignAppend(At(10, 2), "10.9.0.1", true); },
       "10.9.0.1", false},
      {"an append killed before its index, ring not full", 3,
       [this] { ForeignAppend(At(10, 2), "10.9.0.1", false); }, "10.9.0.1", false},
      {"an append killed before its index, full ring, newest slot 499", 500,
       [this] { ForeignAppend(At(10, 2), "10.9.0.1", false); }, "10.9.0.1", false},
      {"an append killed before its index, full ring, newest slot 0", 501,
       [this] { ForeignAppend(At(10, 2), "10.9.0.1", false); }, "10.9.0.1", false},
      {"500 appends bring the index back", 500, five_hundred_more, Address(1000), false},
      {"500 appends overwrite every visitor this process stored", 500, five_hundred_more,
       Address(499), true},
      {"the file made anew with one visitor", 1,
       [this] {
         unlink(visitors_.c_str());
         std::string bytes(4 + kVisitorRecordSize, '\0');
         EncodeVisitorRecord(MakeVisitorRecord(At(10, 2), "", "A", "10.9.0.1"), bytes.data() + 4);
         WriteWholeFile(visitors_, bytes);
       },
       "10.9.0.1", false},
      {"two appends killed before their index, the second over the first", 3,
       [this] {
         ForeignAppend(At(10, 2), "10.9.0.1", false);
         // This process reads the file with the first record cut short...
         EXPECT_FALSE(Append(At(10, 2), Address(0), "A"));
         // ...and the second lands in the same slot, the size unchanged.
         ForeignAppend(At(10, 2), "10.9.0.2", false);
       },
       "10.9.0.2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(visitors_.c_str());
    for (int n = 0; n < c.visitors; ++n) {
      ASSERT_TRUE(Append(At(10, 0) + n * 0.001 * kMinute, Address(n), "A")) << n;
    }
    c.meanwhile();
    const std::string before = ReadWholeFile(visitors_);
    EXPECT_EQ(Append(At(10, 5), c.probe, "A"), c.counted);
    if (!c.counted) {
      EXPECT_TRUE(ReadWholeFile(visitors_) == before) << "a repeat wrote";
    }
  }
}

TEST_F(VantoraStatFilesTest, LookupRunsOnceWithoutTheLockAndRetestsAfterIt) {
  int calls = 0;
  auto resolve = [&] {
    ++calls;
    // Nothing holds the file during the lookup.
    LockedFile other;
    EXPECT_EQ(other.Open(visitors_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kOk);
    return std::string(50, 'h');
  };
  ASSERT_TRUE(Append(At(10, 0), "10.0.0.9", "A"));
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 1), "", "A", "10.0.0.1"),
                                resolve, kWindow),
            TVisitorAppend::kStored);
  EXPECT_EQ(calls, 1);
  const std::string bytes = ReadWholeFile(visitors_);
  EXPECT_EQ(DecodeVisitorRecord(bytes.data() + 4 + 212).HostName, std::string(40, 'h'));

  // A repeat is found before any lookup.
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 2), "", "A", "10.0.0.1"),
                                resolve, kWindow),
            TVisitorAppend::kRepeat);
  EXPECT_EQ(calls, 1);

  // Another process stores the same visitor while this one looks it up.
  auto racing = [&] {
    EXPECT_TRUE(Append(At(10, 3), "10.0.0.7", "A"));
    return std::string("late.example");
  };
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 3), "", "A", "10.0.0.7"),
                                racing, kWindow),
            TVisitorAppend::kRepeat);
  EXPECT_EQ(ReadWholeFile(visitors_).size(), 4u + 3 * 212);
}

TEST_F(VantoraStatFilesTest, ANameKnownAtOnceIsStoredWithoutLettingTheFileGo) {
  ASSERT_TRUE(Append(At(10, 0), "10.0.0.9", "A"));
  int lookups = 0;
  const auto lookup = [&] {
    ++lookups;
    return std::string("looked.up");
  };
  int asked = 0;
  std::optional<std::string> known = "known.example";
  const auto known_name = [&]() -> std::optional<std::string> {
    ++asked;
    // Asked while this process holds the file.
    LockedFile other;
    EXPECT_EQ(other.Open(visitors_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kBusy);
    return known;
  };
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 1), "", "A", "10.0.0.1"),
                                lookup, kWindow, nullptr, known_name),
            TVisitorAppend::kStored);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(lookups, 0);
  EXPECT_EQ(DecodeVisitorRecord(ReadWholeFile(visitors_).data() + 4 + 212).HostName,
            "known.example");

  // A repeat asks for no name at all; a name not known at once is looked up.
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 2), "", "A", "10.0.0.1"),
                                lookup, kWindow, nullptr, known_name),
            TVisitorAppend::kRepeat);
  EXPECT_EQ(asked, 1);
  known = std::nullopt;
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 3), "", "A", "10.0.0.2"),
                                lookup, kWindow, nullptr, known_name),
            TVisitorAppend::kStored);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(DecodeVisitorRecord(ReadWholeFile(visitors_).data() + 4 + 2 * 212).HostName,
            "looked.up");
}

TEST_F(VantoraStatFilesTest, HeldFilesAreRetriedThenGivenUp) {
  ASSERT_TRUE(Append(At(10, 0), "10.0.0.1", "A"));
  AddHourlyHitToFile(hours_, At(10, 0));
  LockedFile holder1, holder2;
  ASSERT_EQ(holder1.Open(visitors_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kOk);
  ASSERT_EQ(holder2.Open(hours_, O_RDWR, 0, ShareLock::kShared), OpenStatus::kOk);
  const std::string before = ReadWholeFile(visitors_);

  // The visitor is dropped, but the hit still counts.
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 5), "", "A", "10.0.0.2"),
                                nullptr, kWindow),
            TVisitorAppend::kDropped);
  EXPECT_EQ(ReadWholeFile(visitors_), before);
  std::string error;
  EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 5), "", "A", "10.0.0.2"),
                                nullptr, kWindow, &error),
            TVisitorAppend::kDropped);
  EXPECT_EQ(error, "held by another process: " + visitors_);
  EXPECT_THROW(AddHourlyHitToFile(hours_, At(10, 5)), std::runtime_error);

  holder1.Close();
  holder2.Close();
  EXPECT_TRUE(Append(At(10, 6), "10.0.0.2", "A"));
  AddHourlyHitToFile(hours_, At(10, 6));
  EXPECT_EQ(DecodeHourRecord(ReadWholeFile(hours_).data()).Hits, 2);
}

TEST_F(VantoraStatFilesTest, TornTailsAreCutBackAndHistoryKept) {
  ScopedEnv log_dir("CGI_LOG_DIR", folder_.path());
  StderrCapture reports;
  ASSERT_TRUE(Append(At(10, 0), "10.0.0.1", "A"));
  ASSERT_TRUE(Append(At(10, 40), "10.0.0.2", "A"));
  std::string bytes = ReadWholeFile(visitors_);
  WriteWholeFile(visitors_, bytes + std::string(100, '\x7f'));  // a torn third record

  // Readers skip the torn tail.
  const VisitorFileContents read = ReadVisitorFile(visitors_);
  ASSERT_EQ(read.slots.size(), 2u);
  EXPECT_EQ(read.newest_slot, 1);

  ASSERT_TRUE(Append(At(11, 20), "10.0.0.3", "A"));
  const std::string repaired = ReadWholeFile(visitors_);
  ASSERT_EQ(repaired.size(), 4u + 3 * 212);
  EXPECT_EQ(repaired.substr(0, 4 + 2 * 212).substr(4), bytes.substr(4));
  EXPECT_EQ(StoredIndex(), 2);
  EXPECT_EQ(DecodeVisitorRecord(repaired.data() + 4 + 2 * 212).Address, "10.0.0.3");

  // The hourly file likewise.
  AddHourlyHitToFile(hours_, At(10, 0));
  const std::string hour_bytes = ReadWholeFile(hours_);
  WriteWholeFile(hours_, hour_bytes + "\x01\x02\x03\x04\x05");
  int whole = 0;
  ForEachHourRecord(hours_, [&](const THourRecord&) { ++whole; });
  EXPECT_EQ(whole, 1);
  AddHourlyHitToFile(hours_, At(11, 0));
  const std::string hours_after = ReadWholeFile(hours_);
  ASSERT_EQ(hours_after.size(), 24u);
  EXPECT_EQ(hours_after.substr(0, 12), hour_bytes);

  // A header cut short reads as an empty file and is started anew.
  WriteWholeFile(visitors_, std::string("\x01\x00", 2));
  EXPECT_TRUE(ReadVisitorFile(visitors_).slots.empty());
  ASSERT_TRUE(Append(At(12, 0), "10.0.0.4", "A"));
  EXPECT_EQ(ReadWholeFile(visitors_).size(), 216u);
  EXPECT_EQ(StoredIndex(), 0);

  // Every repair is reported, once, to standard error (and the log); reading
  // repairs nothing and reports nothing.
  const std::string lines = reports.Text();
  EXPECT_NE(lines.find("Visitor statistics file repaired: torn tail of 100 bytes cut off " +
                       visitors_ + "\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(
      lines.find("Hourly statistics file repaired: torn tail of 5 bytes cut off " + hours_ + "\n"),
      std::string::npos)
      << lines;
  EXPECT_NE(lines.find("Visitor statistics file repaired: torn tail of 2 bytes"), std::string::npos)
      << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3) << lines;
  EXPECT_NE(ReadWholeFile(folder_.path() + "/vantora_tests.Log").find("repaired"),
            std::string::npos);
}

TEST_F(VantoraStatFilesTest, AFullHourBucketStaysFull) {
  char bytes[kHourRecordSize];
  EncodeHourRecord(THourRecord{HourStart(At(10, 0)), std::numeric_limits<int32_t>::max()}, bytes);
  WriteWholeFile(hours_, std::string(bytes, sizeof bytes));
  AddHourlyHitToFile(hours_, At(10, 30));
  const std::string after = ReadWholeFile(hours_);
  ASSERT_EQ(after.size(), 12u);
  EXPECT_EQ(DecodeHourRecord(after.data()).Hits, std::numeric_limits<int32_t>::max());
  AddHourlyHitToFile(hours_, At(11, 0));  // the next hour starts at 1 as ever
  EXPECT_EQ(DecodeHourRecord(ReadWholeFile(hours_).data() + 12).Hits, 1);
  // A damaged count below 1 starts again from the new hit.
  for (const int32_t damaged : {0, -1, std::numeric_limits<int32_t>::min()}) {
    EncodeHourRecord(THourRecord{HourStart(At(12, 0)), damaged}, bytes);
    WriteWholeFile(hours_, std::string(bytes, sizeof bytes));
    AddHourlyHitToFile(hours_, At(12, 59));
    EXPECT_EQ(DecodeHourRecord(ReadWholeFile(hours_).data()).Hits, 1) << damaged;
  }
}

TEST_F(VantoraStatFilesTest, SpecialFilesInPlaceOfTheStatisticsFilesReadAsEmptyAndFailAppends) {
  const struct {
    const char* kind;
    std::function<void(const std::string&)> make;
  } kinds[] = {
      {"FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }},
      {"link to /dev/zero",
       [](const std::string& path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
      {"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }},
  };
  for (const auto& kind : kinds) {
    kind.make(visitors_);
    kind.make(hours_);
    // Readers neither wait for a writer nor read without end.
    EXPECT_TRUE(ReadVisitorFile(visitors_).slots.empty()) << kind.kind;
    EXPECT_FALSE(ForEachHourRecord(hours_, [](const THourRecord&) {})) << kind.kind;
    std::string error;
    EXPECT_EQ(AppendVisitorToFile(visitors_, MakeVisitorRecord(At(10, 0), "", "A", "10.0.0.1"),
                                  nullptr, kWindow, &error),
              TVisitorAppend::kDropped)
        << kind.kind;
    EXPECT_NE(error.find(visitors_), std::string::npos) << error;  // the reason names the file
    EXPECT_THROW(AddHourlyHitToFile(hours_, At(10, 0)), std::runtime_error) << kind.kind;
    std::filesystem::remove(visitors_);
    std::filesystem::remove(hours_);
  }
}

TEST_F(VantoraStatFilesTest, IndexOutOfRangeIsRebuiltFromTheNewestTime) {
  for (int32_t bad : {-1, 3, 500, 777, INT32_MIN}) {
    SCOPED_TRACE(bad);
    unlink(visitors_.c_str());
    ASSERT_TRUE(Append(At(10, 0), "10.0.0.1", "A"));
    ASSERT_TRUE(Append(At(12, 0), "10.0.0.2", "A"));  // the newest, slot 1
    ASSERT_TRUE(Append(At(11, 0), "10.0.0.3", "A"));  // slot 2
    std::string bytes = ReadWholeFile(visitors_);
    EncodeFixed32(bytes.data(), static_cast<uint32_t>(bad));
    WriteWholeFile(visitors_, bytes);

    EXPECT_EQ(ReadVisitorFile(visitors_).newest_slot, 1);
    // The same visitor as the newest is still found as a repeat...
    EXPECT_FALSE(Append(At(12, 1), "10.0.0.2", "A"));
    // ...and a new one goes into the slot after the newest.
    ASSERT_TRUE(Append(At(12, 2), "10.0.0.4", "A"));
    EXPECT_EQ(StoredIndex(), 2);
    EXPECT_EQ(DecodeVisitorRecord(ReadWholeFile(visitors_).data() + 4 + 2 * 212).Address,
              "10.0.0.4");
  }
}

TEST_F(VantoraStatFilesTest, MissingFilesReadAsEmpty) {
  EXPECT_TRUE(ReadVisitorFile(visitors_).slots.empty());
  EXPECT_FALSE(ForEachHourRecord(hours_, [](const THourRecord&) { FAIL(); }));
}

// Hour records written as a file: (time, hits) in the order given.
std::string HourBytes(const std::vector<THourRecord>& records) {
  std::string bytes;
  for (const THourRecord& record : records) {
    char encoded[kHourRecordSize];
    EncodeHourRecord(record, encoded);
    bytes.append(encoded, sizeof encoded);
  }
  return bytes;
}

struct SinceCase {
  std::string name;
  int history_hours;     // one record per hour, oldest first, up to At(14, 0)
  double earliest_back;  // earliest = At(14, 0) - this many days
  int swapped_from_end;  // > 0: an appender placed an hour this many records early
  std::string prefix;    // bytes before the records (damaged leading records)
  std::string suffix;    // bytes after them (a torn tail)
};

class HourRecordsSinceTest : public VantoraStatFilesTest,
                             public ::testing::WithParamInterface<SinceCase> {};

// Whatever the history, the backward reader hands over every record (with a
// date for its time) that a whole pass yields at or after earliest, in the same order, and the same
// first record; older ones only within the slack.
TEST_P(HourRecordsSinceTest, YieldsTheWindowOfAWholePass) {
  const SinceCase& c = GetParam();
  std::vector<THourRecord> records;
  for (int k = c.history_hours - 1; k >= 0; --k) {
    records.push_back({At(14, 0) - k * kHour, 1 + k % 5});
  }
  if (c.swapped_from_end > 0 && static_cast<int>(records.size()) > c.swapped_from_end) {
    const size_t late = records.size() - 1;
    std::swap(records[late - static_cast<size_t>(c.swapped_from_end)], records[late]);
  }
  WriteWholeFile(hours_, c.prefix + HourBytes(records) + c.suffix);
  const TDateTime earliest = At(14, 0) - c.earliest_back;

  std::vector<THourRecord> whole;
  std::optional<THourRecord> whole_first;
  ForEachHourRecord(hours_, [&](const THourRecord& r) {
    if (!whole_first && IsRecordDate(r.Time)) whole_first = r;
    if (IsRecordDate(r.Time) && r.Time >= earliest) whole.push_back(r);
  });
  std::vector<THourRecord> since;
  size_t older = 0;
  std::optional<THourRecord> first;
  ASSERT_TRUE(ForEachHourBatchSince(
      hours_, earliest,
      [&](std::span<const THourRecord> batch) {
        for (const THourRecord& r : batch) {
          if (IsRecordDate(r.Time) && r.Time >= earliest) {
            since.push_back(r);
          } else {
            ++older;
          }
        }
      },
      &first));

  ASSERT_EQ(since.size(), whole.size());
  for (size_t k = 0; k < whole.size(); ++k) {
    EXPECT_EQ(since[k].Time, whole[k].Time) << k;
    EXPECT_EQ(since[k].Hits, whole[k].Hits) << k;
  }
  EXPECT_LE(older, static_cast<size_t>(kHourOrderSlack) + 1);
  ASSERT_EQ(first.has_value(), whole_first.has_value());
  if (first) {
    EXPECT_EQ(first->Time, whole_first->Time);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Histories, HourRecordsSinceTest,
    ::testing::Values(
        SinceCase{"Empty", 0, 30, 0, "", ""}, SinceCase{"ShorterThanTheWindow", 100, 30, 0, "", ""},
        SinceCase{"TenYears", 10 * 365 * 24, 367, 0, "", ""},
        SinceCase{"WindowEndsOnABatchEdge", 5000, 2048.0 / 24, 0, "", ""},
        SinceCase{"AppendLandedEarly", 5000, 2, 23, "", ""},
        SinceCase{"AppendAcrossTheEdge", 5000, 1, 24, "", ""},
        SinceCase{"DamagedLeadingRecords", 4000, 3, 0,
                  HourBytes({{std::numeric_limits<double>::quiet_NaN(), 1}, {1e300, 2}}), ""},
        SinceCase{"TornTail", 4000, 3, 0, "", std::string("\x01\x02\x03", 3)},
        SinceCase{"EverythingInTheWindow", 2000, 400, 0, "", ""}),
    [](const ::testing::TestParamInfo<SinceCase>& info) { return info.param.name; });

TEST_F(VantoraStatFilesTest, MissingHourlyFileReadsAsNothingFromTheEnd) {
  std::optional<THourRecord> first = THourRecord{1, 1};
  EXPECT_FALSE(ForEachHourBatchSince(
      hours_, 0, [](std::span<const THourRecord>) { FAIL(); }, &first));
  EXPECT_FALSE(first.has_value());
}

}  // namespace
}  // namespace vantora
