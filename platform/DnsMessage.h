// The DNS messages of a reverse lookup: the address as a number, its name
// under "in-addr.arpa" or "ip6.arpa", the PTR question sent for it and the
// reading of the reply (RFC 1035 section 4: header, question, resource
// records, names with compression pointers).
//
// Everything here is pure: no sockets, no files.  The reader takes any bytes
// and never reads outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantora {

// A numeric IPv4 or IPv6 address.
struct IpAddress {
  int family = 0;  // AF_INET or AF_INET6
  uint8_t bytes[16] = {};
  bool operator==(const IpAddress& other) const;
};

// The address written as dotted IPv4 or as IPv6 text (inet_pton forms only:
// no names, no zone suffix); nullopt for anything else.
std::optional<IpAddress> ParseIpAddress(const std::string& text);

// The name whose PTR record holds the host name of address, without the final
// dot: "4.3.2.1.in-addr.arpa" for 1.2.3.4, 32 reversed nibbles and "ip6.arpa"
// for IPv6.  An IPv4-mapped IPv6 address (::ffff:1.2.3.4) uses the IPv4 form.
std::string ReverseLookupName(const IpAddress& address);

// A standard query with recursion desired for the PTR records (class IN) of
// name (dotted, no final dot) under the given id.  Empty when the name cannot
// be encoded (an empty label, a label over 63 bytes, over 255 bytes in all).
std::string EncodePtrQuery(uint16_t id, const std::string& name);

enum class DnsReply {
  kName,          // a PTR record for the name: the host name is in `name`
  kNoName,        // a definite answer without a usable host name
  kTruncated,     // the reply did not fit a datagram: ask again over TCP
  kServerFailed,  // the server could not answer (or answered nonsense)
  kNotOurs,       // not a reply to this query (id, flags or question differ)
};

struct DnsAnswer {
  DnsReply reply = DnsReply::kNotOurs;
  std::string name;  // with kName only: dotted, no final dot
};

// Reads the reply to EncodePtrQuery(id, name).  The reply must carry the same
// id and question, with the name compared without regard to ASCII case.  The
// host name is taken from the PTR record of the question's name, or of the
// name an alias (CNAME) chain in the answer leads to; it must be a host name
// (letters, digits, '-' and '_' in labels of 1 to 63 bytes, no label starting
// with '-'), otherwise the reply counts as kNoName.
DnsAnswer ReadPtrAnswer(const uint8_t* data, size_t size, uint16_t id, const std::string& name);

}  // namespace vantora
