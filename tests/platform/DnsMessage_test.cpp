#include "platform/DnsMessage.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/TestNames.h"

namespace vantora {
namespace {

using Bytes = std::vector<uint8_t>;

void Add16(Bytes* out, int value) {
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value & 0xff));
}

// The labels of a dotted name, without the closing zero byte.
void AddLabels(Bytes* out, const std::string& dotted) {
  size_t start = 0;
  while (start < dotted.size()) {
    size_t end = dotted.find('.', start);
    if (end == std::string::npos) end = dotted.size();
    out->push_back(static_cast<uint8_t>(end - start));
    out->insert(out->end(), dotted.begin() + start, dotted.begin() + end);
    start = end + 1;
  }
}

void AddName(Bytes* out, const std::string& dotted) {
  AddLabels(out, dotted);
  out->push_back(0);
}

// A reply header and the question of `question`; answers follow.
Bytes Reply(int id, int flags, int answers, const std::string& question) {
  Bytes out;
  Add16(&out, id);
  Add16(&out, flags);
  Add16(&out, 1);
  Add16(&out, answers);
  Add16(&out, 0);
  Add16(&out, 0);
  AddName(&out, question);
  Add16(&out, 12);
  Add16(&out, 1);
  return out;
}

// A record of type (12 PTR, 5 CNAME) whose owner is a pointer to `owner_at`
// and whose data is the name `target`, closed by a pointer to `target_at`
// when that is given.  Answers the offset of the record's data.
int AddRecord(Bytes* out, int owner_at, int type, const std::string& target, int target_at = -1) {
  Add16(out, 0xc000 | owner_at);
  Add16(out, type);
  Add16(out, 1);
  Add16(out, 0);
  Add16(out, 3600);
  Bytes data;
  if (target_at >= 0) {
    AddLabels(&data, target);
    Add16(&data, 0xc000 | target_at);
  } else {
    AddName(&data, target);
  }
  Add16(out, static_cast<int>(data.size()));
  const int at = static_cast<int>(out->size());
  out->insert(out->end(), data.begin(), data.end());
  return at;
}

constexpr char kName[] = "3.2.1.10.in-addr.arpa";
constexpr int kId = 0x1234;
constexpr int kOk = 0x8180;

DnsAnswer Read(const Bytes& reply) { return ReadPtrAnswer(reply.data(), reply.size(), kId, kName); }

TEST(DnsMessageTest, ReverseNamesOfBothFamilies) {
  EXPECT_EQ(ReverseLookupName(*ParseIpAddress("10.1.2.3")), "3.2.1.10.in-addr.arpa");
  EXPECT_EQ(ReverseLookupName(*ParseIpAddress("::ffff:192.0.2.7")), "7.2.0.192.in-addr.arpa");
  EXPECT_EQ(ReverseLookupName(*ParseIpAddress("2001:db8::567:89ab")),
            "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  for (const char* text : {"", "host.example", "300.1.1.1", "10.1.2", "fe80::1%eth0", "1.2.3.4 "}) {
    EXPECT_FALSE(ParseIpAddress(text)) << text;
  }
}

TEST(DnsMessageTest, QueryLaysOutHeaderAndQuestion) {
  const std::string query = EncodePtrQuery(0xbeef, "4.3.2.1.in-addr.arpa");
  const std::string expected(
      "\xbe\xef\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
      "\x01"
      "4\x01"
      "3\x01"
      "2\x01"
      "1\x07in-addr\x04"
      "arpa\x00\x00\x0c\x00\x01",
      38);
  EXPECT_EQ(query, expected);
  EXPECT_EQ(EncodePtrQuery(1, "a..b"), "");
  EXPECT_EQ(EncodePtrQuery(1, std::string(64, 'x') + ".arpa"), "");
}

TEST(DnsMessageTest, ReadsThePtrRecordOfTheQuestion) {
  Bytes reply = Reply(kId, kOk, 1, kName);
  AddRecord(&reply, 12, 12, "pc7.Example.DE");
  const DnsAnswer answer = Read(reply);
  EXPECT_EQ(answer.reply, DnsReply::kName);
  EXPECT_EQ(answer.name, "pc7.Example.DE");

  // The question comes back in other letter case: still ours.
  Bytes shouted = Reply(kId, kOk, 1, "3.2.1.10.IN-ADDR.ARPA");
  AddRecord(&shouted, 12, 12, "pc7.example.de");
  EXPECT_EQ(Read(shouted).name, "pc7.example.de");
}

TEST(DnsMessageTest, FollowsAnAliasAndCompressedNames) {
  // A classless delegation: the address's name is an alias of a name in the
  // delegated zone, which holds the PTR record.  The alias target ends in a
  // pointer to the question's "1.10.in-addr.arpa"; the PTR target ends in a
  // pointer to "in-addr.arpa".
  Bytes reply = Reply(kId, kOk, 2, kName);
  const int alias_at = AddRecord(&reply, 12, 5, "3.0-25", 16);  // 3.0-25.1.10.in-addr.arpa
  AddRecord(&reply, alias_at, 12, "host", 21);                  // host.in-addr.arpa
  const DnsAnswer answer = Read(reply);
  EXPECT_EQ(answer.reply, DnsReply::kName);
  EXPECT_EQ(answer.name, "host.in-addr.arpa");
}

struct BadReplyCase {
  const char* label;
  Bytes reply;
  DnsReply expected;
};

void PrintTo(const BadReplyCase& c, std::ostream* out) { *out << c.label; }

std::vector<BadReplyCase> BadReplies() {
  std::vector<BadReplyCase> cases;
  auto with_ptr = [](Bytes reply, const std::string& target) {
    AddRecord(&reply, 12, 12, target);
    return reply;
  };
  cases.push_back(
      {"another id", with_ptr(Reply(kId + 1, kOk, 1, kName), "x.example"), DnsReply::kNotOurs});
  cases.push_back({"a query, not a reply", with_ptr(Reply(kId, 0x0100, 1, kName), "x.example"),
                   DnsReply::kNotOurs});
  cases.push_back({"another question",
                   with_ptr(Reply(kId, kOk, 1, "4.2.1.10.in-addr.arpa"), "x.example"),
                   DnsReply::kNotOurs});
  cases.push_back({"shorter than a header", Bytes{0x12, 0x34, 0x81}, DnsReply::kNotOurs});
  cases.push_back({"truncated", Reply(kId, kOk | 0x0200, 0, kName), DnsReply::kTruncated});
  cases.push_back({"no such name", Reply(kId, kOk | 3, 0, kName), DnsReply::kNoName});
  cases.push_back({"server failure", Reply(kId, kOk | 2, 0, kName), DnsReply::kServerFailed});
  cases.push_back({"refused", Reply(kId, kOk | 5, 0, kName), DnsReply::kServerFailed});
  cases.push_back({"no records", Reply(kId, kOk, 0, kName), DnsReply::kNoName});
  cases.push_back({"record of another name",
                   [] {
                     Bytes reply = Reply(kId, kOk, 1, kName);
                     AddName(&reply, "other.example");
                     Add16(&reply, 12);
                     Add16(&reply, 1);
                     Add16(&reply, 0);
                     Add16(&reply, 0);
                     Add16(&reply, 3);
                     AddName(&reply, "x");
                     return reply;
                   }(),
                   DnsReply::kNoName});
  cases.push_back({"control bytes in the name", with_ptr(Reply(kId, kOk, 1, kName), "a\tb.example"),
                   DnsReply::kNoName});
  cases.push_back({"markup in the name", with_ptr(Reply(kId, kOk, 1, kName), "<b>.example"),
                   DnsReply::kNoName});
  cases.push_back({"label led by a dash", with_ptr(Reply(kId, kOk, 1, kName), "-x.example"),
                   DnsReply::kNoName});
  cases.push_back(
      {"answer count beyond the bytes", Reply(kId, kOk, 1, kName), DnsReply::kServerFailed});
  cases.push_back({"pointer loop",
                   [] {
                     Bytes reply = Reply(kId, kOk, 1, kName);
                     const int at = static_cast<int>(reply.size());
                     Add16(&reply, 0xc000 | at);  // an owner pointing at itself
                     return reply;
                   }(),
                   DnsReply::kServerFailed});
  cases.push_back({"record data past the end",
                   [&] {
                     Bytes reply = with_ptr(Reply(kId, kOk, 1, kName), "x.example");
                     reply.resize(reply.size() - 2);
                     return reply;
                   }(),
                   DnsReply::kServerFailed});
  return cases;
}

class DnsBadReplyTest : public testing::TestWithParam<BadReplyCase> {};

TEST_P(DnsBadReplyTest, GivesNoHostName) {
  const DnsAnswer answer = Read(GetParam().reply);
  EXPECT_EQ(answer.reply, GetParam().expected);
  EXPECT_EQ(answer.name, "");
}

INSTANTIATE_TEST_SUITE_P(Replies, DnsBadReplyTest, testing::ValuesIn(BadReplies()),
                         [](const auto& info) { return CaseName(info.param.label); });

}  // namespace
}  // namespace vantora
