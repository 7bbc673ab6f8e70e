#include "platform/DnsMessage.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

namespace vantora {
namespace {

constexpr uint16_t kTypePtr = 12;
constexpr uint16_t kTypeCname = 5;
constexpr uint16_t kClassIn = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxNameSize = 255;  // of the uncompressed wire form
constexpr int kMaxPointers = 64;      // more compression jumps than this is a loop
constexpr int kMaxAliases = 16;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void Put16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value & 0xff));
}

// A name in its wire form (length-prefixed labels, a zero byte at the end),
// uncompressed.  Empty when a label is empty or too long, or the whole too
// long.
std::string WireName(const std::string& dotted) {
  std::string wire;
  size_t start = 0;
  while (start <= dotted.size()) {
    size_t end = dotted.find('.', start);
    if (end == std::string::npos) end = dotted.size();
    const size_t length = end - start;
    if (length == 0 || length > 63) return std::string();
    wire.push_back(static_cast<char>(length));
    wire.append(dotted, start, length);
    start = end + 1;
  }
  wire.push_back('\0');
  return wire.size() <= kMaxNameSize ? wire : std::string();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Label lengths are below 64 and so never letters: one case-blind comparison
// of the whole wire form compares the labels.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Reads the possibly compressed name at *offset into its uncompressed wire
// form and moves *offset past it (past the first pointer when there is one).
bool ReadName(const uint8_t* data, size_t size, size_t* offset, std::string* wire) {
  wire->clear();
  size_t pos = *offset;
  bool jumped = false;
  int pointers = 0;
  for (;;) {
    if (pos >= size) return false;
    const uint8_t length = data[pos];
    if ((length & 0xc0) == 0xc0) {
      if (pos + 1 >= size || ++pointers > kMaxPointers) return false;
      if (!jumped) *offset = pos + 2;
      jumped = true;
      pos = static_cast<size_t>(length & 0x3f) << 8 | data[pos + 1];
      continue;
    }
    if ((length & 0xc0) != 0) return false;  // the extended label types are not used
    if (length == 0) {
      wire->push_back('\0');
      if (!jumped) *offset = pos + 1;
      return wire->size() <= kMaxNameSize;
    }
    if (pos + 1 + length > size) return false;
    wire->push_back(static_cast<char>(length));
    wire->append(reinterpret_cast<const char*>(data) + pos + 1, length);
    if (wire->size() > kMaxNameSize) return false;
    pos += 1 + length;
  }
}

bool HostNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The dotted text of a wire name when it is a host name; empty otherwise.
std::string HostNameText(const std::string& wire) {
  std::string text;
  size_t pos = 0;
  while (pos < wire.size() && wire[pos] != '\0') {
    const size_t length = static_cast<uint8_t>(wire[pos]);
    if (wire[pos + 1] == '-') return std::string();
    for (size_t i = 1; i <= length; ++i) {
      if (!HostNameByte(wire[pos + i])) return std::string();
    }
    if (!text.empty()) text.push_back('.');
    text.append(wire, pos + 1, length);
    pos += 1 + length;
  }
  return text;
}

struct Record {
  uint16_t type;
  std::string owner;
  std::string target;  // the name the PTR or CNAME record points to, wire form
};

}  // namespace

bool IpAddress::operator==(const IpAddress& other) const {
  return family == other.family && std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

std::optional<IpAddress> ParseIpAddress(const std::string& text) {
  IpAddress address;
  if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
    address.family = AF_INET;
    return address;
  }
  if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
    address.family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

std::string ReverseLookupName(const IpAddress& address) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  const uint8_t* v4 = nullptr;
  if (address.family == AF_INET) {
    v4 = address.bytes;
  } else if (std::memcmp(address.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    v4 = address.bytes + 12;
  }
  std::string name;
  if (v4 != nullptr) {
    for (int i = 3; i >= 0; --i) name += std::to_string(v4[i]) + ".";
    return name + "in-addr.arpa";
  }
  static const char kHex[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    name += kHex[address.bytes[i] & 0x0f];
    name += '.';
    name += kHex[address.bytes[i] >> 4];
    name += '.';
  }
  return name + "ip6.arpa";
}

std::string EncodePtrQuery(uint16_t id, const std::string& name) {
  const std::string wire = WireName(name);
  if (wire.empty()) return std::string();
  std::string query;
  query.reserve(kHeaderSize + wire.size() + 4);
  Put16(&query, id);
  Put16(&query, 0x0100);  // a standard query, recursion desired
  Put16(&query, 1);       // one question
  Put16(&query, 0);
  Put16(&query, 0);
  Put16(&query, 0);
  query += wire;
  Put16(&query, kTypePtr);
  Put16(&query, kClassIn);
  return query;
}

DnsAnswer ReadPtrAnswer(const uint8_t* data, size_t size, uint16_t id, const std::string& name) {
  DnsAnswer answer;
  if (size < kHeaderSize || Get16(data) != id) return answer;
  const bool is_reply = (data[2] & 0x80) != 0;
  const int opcode = (data[2] >> 3) & 0x0f;
  if (!is_reply || opcode != 0 || Get16(data + 4) != 1) return answer;
  size_t offset = kHeaderSize;
  std::string question;
  if (!ReadName(data, size, &offset, &question) || !SameName(question, WireName(name)) ||
      offset + 4 > size || Get16(data + offset) != kTypePtr ||
      Get16(data + offset + 2) != kClassIn) {
    return answer;
  }
  offset += 4;

  if ((data[2] & 0x02) != 0) {
    answer.reply = DnsReply::kTruncated;
    return answer;
  }
  const int rcode = data[3] & 0x0f;
  if (rcode == 3) {  // the name does not exist
    answer.reply = DnsReply::kNoName;
    return answer;
  }
  answer.reply = DnsReply::kServerFailed;
  if (rcode != 0) return answer;

  std::vector<Record> records;
  const int count = Get16(data + 6);
  for (int i = 0; i < count; ++i) {
    Record record;
    if (!ReadName(data, size, &offset, &record.owner) || offset + 10 > size) return answer;
    record.type = Get16(data + offset);
    const uint16_t rclass = Get16(data + offset + 2);
    const size_t rdata = offset + 10;
    const size_t rdata_end = rdata + Get16(data + offset + 8);
    if (rdata_end > size) return answer;
    if ((record.type == kTypePtr || record.type == kTypeCname) && rclass == kClassIn) {
      size_t target = rdata;
      if (!ReadName(data, size, &target, &record.target) || target != rdata_end) return answer;
      records.push_back(std::move(record));
    }
    offset = rdata_end;
  }

  answer.reply = DnsReply::kNoName;
  std::string wanted = question;
  for (int alias = 0; alias <= kMaxAliases; ++alias) {
    const Record* cname = nullptr;
    for (const Record& record : records) {
      if (!SameName(record.owner, wanted)) continue;
      if (record.type == kTypePtr) {
        answer.name = HostNameText(record.target);
        if (!answer.name.empty()) answer.reply = DnsReply::kName;
        return answer;
      }
      if (cname == nullptr) cname = &record;
    }
    if (cname == nullptr) break;
    wanted = cname->target;
  }
  return answer;
}

}  // namespace vantora
