// The records of the test tree's fake NSAPI server library (libns-httpd40.so,
// built from tests/adapters/NsFakeServerLib.cpp) and the control interface it
// exports beside the server functions.
//
// The fake plays the server side of the interface as adapters/NSapiDefs.h
// declares it: pblocks in memory, a netbuf that refills from a byte string
// in chunks of a chosen size, a socket that keeps every byte net_write sent,
// http_status/http_start_response that record their calls and write the
// status line and the srvhdrs headers to the socket as a server would, and
// crit_* over mutexes.  The host (tests/support/NsapiHost.h) allocates the
// records below; the fake reaches its own fields by downcasting the
// pointers the adapter hands back.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "adapters/NSapiDefs.h"

namespace vantora {
namespace nsfake {

using Params = std::vector<std::pair<std::string, std::string>>;

// The socket of a session: what the server sent to the visitor.
struct Socket {
  std::string sent;
};

// The buffered input of a session, refilled from body.
struct Input : nsapi::netbuf {
  std::string body;
  size_t next = 0;   // the first byte of body not yet in the buffer
  size_t chunk = 0;  // bytes per refill; 0: all that is left
  std::vector<unsigned char> storage;
  int refills = 0;
};

struct SessionRecord : nsapi::Session {
  Socket socket;
  Input input;
};

struct RequestRecord : nsapi::Request {
  int status = 0;
  int status_calls = 0;
  int start_calls = 0;
  // The names request_header was asked for, in order.
  std::vector<std::string> asked_headers;
};

// Exported by the fake library as "fakens_control".
struct Control {
  nsapi::pblock* (*create_block)();
  void (*free_block)(nsapi::pblock* block);
  void (*insert)(nsapi::pblock* block, const std::string& name, const std::string& value);
  // The parameters of a block in order of insertion.
  Params (*list)(const nsapi::pblock* block);
  // Critical sections created and not yet terminated.
  int (*live_crits)();
};

extern "C" {
using ControlFunc = const Control* (*)();
}

}  // namespace nsfake
}  // namespace vantora
