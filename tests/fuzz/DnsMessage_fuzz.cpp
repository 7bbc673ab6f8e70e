// Fuzz target for the reply reader of the reverse lookup: arbitrary bytes as
// the reply to a PTR query for one fixed name under one fixed id (the first
// two bytes of a seed should be 0x12 0x34 to get past the id check).  The
// reader must take any bytes, and a host name it answers must be one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/DnsMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;  // the largest DNS message
  const vantora::DnsAnswer answer =
      vantora::ReadPtrAnswer(data, size, 0x1234, "3.2.1.10.in-addr.arpa");
  if (answer.reply != vantora::DnsReply::kName) {
    if (!answer.name.empty()) std::abort();
    return 0;
  }
  if (answer.name.empty() || answer.name.size() > 253) std::abort();
  for (const char c : answer.name) {
    const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!fits) std::abort();
  }
  return 0;
}
