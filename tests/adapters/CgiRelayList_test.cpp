#include "adapters/CgiRelayList.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

bool IsReq(const std::string& name) { return name.size() >= 4 && name.ends_with("_REQ"); }

std::vector<std::string> Names(const std::string& list) {
  std::vector<std::string> names;
  for (const TListRecord& record : DecodeList(ReadWholeFile(list))) names.push_back(record.name);
  return names;
}

void SetFileAge(const std::string& path, int seconds_ago) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(UnixNow()) - seconds_ago;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class ListFileTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteWholeFile(list_, ""); }

  bool Append(const std::string& name) {
    std::string registered;
    return AppendListRecord(
        list_, nullptr, [name] { return name; }, &registered);
  }

  ScopedTempDir dir_;
  const std::string list_ = dir_.path() + "/vantora_S";
};

TEST(ListRecordTest, LayoutIsByteExact) {
  TListRecord record;
  record.status = kRecordTaken;
  record.registered = 46000.75;  // 2025-12-09 18:00
  record.name = "/SRV/TEMP/VANTORA_C_00AF_REQ";
  const std::string bytes = EncodeListRecord(record);
  ASSERT_EQ(bytes.size(), 268u);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes.substr(1, 3), std::string(3, '\0'));
  // 46000.75 as an IEEE 754 double is 0x40E6761800000000, little-endian.
  EXPECT_EQ(bytes.substr(4, 8), std::string("\0\0\0\0\x18\x76\xE6\x40", 8));
  EXPECT_EQ(bytes.substr(12, record.name.size()), record.name);
  EXPECT_EQ(bytes.substr(12 + record.name.size()), std::string(256 - record.name.size(), '\0'));

  const TListRecord back = DecodeListRecord(bytes.data());
  EXPECT_EQ(back.status, kRecordTaken);
  EXPECT_EQ(back.registered, 46000.75);
  EXPECT_EQ(back.name, record.name);
}

TEST(ListRecordTest, NamesStopAt255CharactersAndTornTailsAreNoRecords) {
  TListRecord record;
  record.name = std::string(300, 'N');
  const std::string bytes = EncodeListRecord(record);
  EXPECT_EQ(bytes[12 + 254], 'N');
  EXPECT_EQ(bytes[12 + 255], '\0');  // the terminator always fits
  // A name field without a zero byte still reads as 255 characters.
  std::string unterminated = bytes;
  unterminated[267] = 'X';
  EXPECT_EQ(DecodeListRecord(unterminated.data()).name, std::string(255, 'N'));

  const std::string list = bytes + bytes + bytes.substr(0, 100);
  EXPECT_EQ(DecodeList(list).size(), 2u);
}

TEST_F(ListFileTest, TakingMarksTheFirstWaitingRecordOfItsOwnKindOnly) {
  ASSERT_TRUE(Append("/p/profile-one.ini"));  // a record of the other variant
  ASSERT_TRUE(Append("/t/v_C_0001_REQ"));
  ASSERT_TRUE(Append("/t/v_C_0002_req"));  // names are stored upper-cased
  EXPECT_EQ(Names(list_),
            (std::vector<std::string>{"/P/PROFILE-ONE.INI", "/T/V_C_0001_REQ", "/T/V_C_0002_REQ"}));

  std::optional<TListRecord> first = TakeNextRequest(list_, IsReq);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "/T/V_C_0001_REQ");
  EXPECT_EQ(RequestStatus(list_, "/T/V_C_0001_REQ"), kRelayTaken);
  // The other variant's record stays waiting for its own server.
  EXPECT_EQ(RequestStatus(list_, "/P/PROFILE-ONE.INI"), kRelayWaiting);
  EXPECT_EQ(TakeNextRequest(list_, IsReq)->name, "/T/V_C_0002_REQ");
  EXPECT_FALSE(TakeNextRequest(list_, IsReq));
  EXPECT_EQ(TakeNextRequest(list_, [](const std::string& n) { return !IsReq(n); })->name,
            "/P/PROFILE-ONE.INI");
}

TEST_F(ListFileTest, RemovalKeepsTheOthersInOrderByteForByte) {
  for (const char* name : {"/a_REQ", "/b_REQ", "/c_REQ", "/b_REQ"}) ASSERT_TRUE(Append(name));
  // Padding bytes that a writer left are kept as they were.
  std::string bytes = ReadWholeFile(list_);
  bytes[2 * 268 + 1] = '\x7f';
  WriteWholeFile(list_, bytes);

  RemoveListRecords(list_, "/b_req");
  const std::string after = ReadWholeFile(list_);
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"/A_REQ", "/C_REQ"}));
  EXPECT_EQ(after.substr(0, 268), bytes.substr(0, 268));
  EXPECT_EQ(after.substr(268, 268), bytes.substr(2 * 268, 268));
  EXPECT_EQ(RequestStatus(list_, "/B_REQ"), kRelayFinished);
}

TEST_F(ListFileTest, StatusOfAMissingListAndAFullList) {
  EXPECT_EQ(RequestStatus(dir_.path() + "/none_S", "/A_REQ"), kRelayNoServer);
  for (int i = 0; i < kListCapacity; ++i) ASSERT_TRUE(Append("/r" + std::to_string(i) + "_REQ"));
  bool prepared = false;
  std::string registered;
  EXPECT_FALSE(AppendListRecord(
      list_, nullptr,
      [&] {
        prepared = true;
        return std::string("/x_REQ");
      },
      &registered));
  EXPECT_FALSE(prepared) << "nothing is written for a request that cannot be listed";
  EXPECT_EQ(DecodeList(ReadWholeFile(list_)).size(), 65u);
}

TEST_F(ListFileTest, PreparingHoldsNobodyUpAndADeletedListTakesNoRecord) {
  std::string registered;
  bool others_could_lock = false;
  ASSERT_TRUE(AppendListRecord(
      list_, nullptr,
      [&] {
        const int other = open(list_.c_str(), O_RDWR);
        others_could_lock = flock(other, LOCK_EX | LOCK_NB) == 0;
        close(other);
        return std::string("/a_REQ");
      },
      &registered));
  EXPECT_TRUE(others_could_lock) << "the list is held only for the append itself";
  EXPECT_FALSE(AppendListRecord(
      list_, nullptr,
      [&] {
        unlink(list_.c_str());  // the server ends meanwhile
        return std::string("/b_REQ");
      },
      &registered));
  EXPECT_EQ(registered, "/A_REQ");
}

TEST_F(ListFileTest, AnAppendAfterATornTailRealignsTheRecords) {
  ASSERT_TRUE(Append("/a_REQ"));
  WriteWholeFile(list_, ReadWholeFile(list_) + std::string(40, 'z'));
  ASSERT_TRUE(Append("/b_REQ"));
  EXPECT_EQ(ReadWholeFile(list_).size(), 2 * 268u);
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"/A_REQ", "/B_REQ"}));
}

TEST_F(ListFileTest, ALockedListRefusesForItsRetryTimeAndStaleLockedListsGo) {
  ASSERT_TRUE(Append("/a_REQ"));
  const int holder = open(list_.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_FALSE(Append("/b_REQ"));
  EXPECT_FALSE(TakeNextRequest(list_, IsReq));
  EXPECT_EQ(RequestStatus(list_, "/A_REQ"), kRelayListUnavailable);
  EXPECT_TRUE(FileExists(list_)) << "a list dated in the last 30 seconds stays";
  SetFileAge(list_, 31);
  EXPECT_EQ(RequestStatus(list_, "/A_REQ"), kRelayListUnavailable);
  EXPECT_FALSE(FileExists(list_));
  close(holder);
}

TEST_F(ListFileTest, AnIdleTakeDatesTheListAndTheThirtySecondRuleReadsTheDate) {
  SetFileAge(list_, 29);
  EXPECT_FALSE(FileIsStale(list_));
  SetFileAge(list_, 31);
  EXPECT_TRUE(FileIsStale(list_));
  EXPECT_FALSE(TakeNextRequest(list_, IsReq));
  EXPECT_FALSE(FileIsStale(list_));
  EXPECT_FALSE(FileIsStale(dir_.path() + "/missing"));
}

TEST_F(ListFileTest, ClosingAtTheEndWaitsForOwnRecordsAndLeavesOthers) {
  ASSERT_TRUE(Append("/a_REQ"));
  EXPECT_FALSE(CloseListIfIdle(list_, IsReq));
  TakeNextRequest(list_, IsReq);
  EXPECT_TRUE(CloseListIfIdle(list_, IsReq));
  EXPECT_TRUE(FileExists(list_)) << "a taken record is still being served";
  RemoveListRecords(list_, "/a_REQ");
  ASSERT_TRUE(Append("/profile.ini"));
  EXPECT_TRUE(CloseListIfIdle(list_, IsReq));
  EXPECT_TRUE(FileExists(list_)) << "the other variant's server still has work";
  RemoveListRecords(list_, "/profile.ini");
  EXPECT_TRUE(CloseListIfIdle(list_, IsReq));
  EXPECT_FALSE(FileExists(list_));
}

}  // namespace
}  // namespace vantora
