// The NSAPI records, result codes and server functions the NSAPI adapter
// uses, declared as the server plug-in interface publishes them.
//
// The server allocates and owns every record; the program only reads the
// leading members named here and hands the pointers back to the server's
// functions.  That is why Session and Request declare only the members the
// interface places first: the server's records are larger, and the program
// never needs their size.  A pblock is opaque.
//
// Everything uses the platform's default C calling convention; a server
// library written from the same interface lays the records out alike.
#pragma once

namespace vantora {
namespace nsapi {

// A connection's socket as the server's network functions take it.
using SYS_NETFD = void*;
// A critical section of the server (crit_init and its companions).
using CRITICAL = void*;

// A parameter block: a set of name/value parameters kept by the server.
struct pblock;

// One parameter of a pblock; both texts are zero-terminated and owned by
// the server.
struct pb_param {
  char* name;
  char* value;
};

// The server's buffered input of a connection.  The unread bytes are
// inbuf[pos] .. inbuf[cursize - 1]; netbuf_next refills it.
struct netbuf {
  SYS_NETFD sd;
  int pos;
  int cursize;
  int maxsize;
  int rdtmout;
  char* address;
  unsigned char* inbuf;
  char* errmsg;
};

// The connection a request arrived on (leading members only).
struct Session {
  pblock* client;  // "ip", "dns" of the visitor
  SYS_NETFD csd;   // the socket the response goes to
  netbuf* inbuf;   // the request body not yet read
};

// One request (leading members only).
struct Request {
  pblock* vars;     // server working variables
  pblock* reqpb;    // "method", "uri", "protocol", "query" of the request line
  int loadhdrs;     // the headers have been read into headers
  pblock* headers;  // request headers, names in lower case
  int senthdrs;     // the response header has been sent
  pblock* srvhdrs;  // response headers the server will send
};

// Results of a service function and of the request functions.
inline constexpr int REQ_PROCEED = 0;
inline constexpr int REQ_ABORTED = -1;
inline constexpr int REQ_NOACTION = -2;
inline constexpr int REQ_EXIT = -3;

// Results of the network functions.
inline constexpr int IO_OKAY = 1;
inline constexpr int IO_ERROR = -1;
inline constexpr int IO_EOF = 0;

// Response statuses the adapter sets.
inline constexpr int PROTOCOL_OK = 200;
inline constexpr int PROTOCOL_SERVER_ERROR = 500;

// The signatures of the server functions the adapter calls.
extern "C" {
using PblockFrFunc = pb_param* (*)(const char* name, pblock* pb, int remove);
using PblockFindvalFunc = char* (*)(const char* name, const pblock* pb);
using PblockNvinsertFunc = pb_param* (*)(const char* name, const char* value, pblock* pb);
using ParamFreeFunc = void (*)(pb_param* pp);
using RequestHeaderFunc = int (*)(const char* name, char** value, Session* sn, Request* rq);
using NetWriteFunc = int (*)(SYS_NETFD sd, const char* buf, int sz);
using NetbufNextFunc = int (*)(netbuf* buf, int timeout);
using HttpStatusFunc = void (*)(Session* sn, Request* rq, int n, const char* r);
using HttpStartResponseFunc = int (*)(Session* sn, Request* rq);
using CritInitFunc = CRITICAL (*)();
using CritFunc = void (*)(CRITICAL id);
}

}  // namespace nsapi
}  // namespace vantora
