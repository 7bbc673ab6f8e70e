// A web server's side of the ISAPI interface, for tests and benchmarks: no
// web server on Linux loads ISAPI libraries, so the test tree plays one.
//
// IsapiLibrary loads libvantora.so with dlopen and resolves its five entry
// points.  IsapiConnection plays one extension request: it fills an
// extension control block (method, query, path members, the first body bytes
// preloaded) and answers the block's callbacks (server variables, ReadClient
// for the rest of the body, WriteClient, ServerSupportFunction), recording
// what the library did.  IsapiFilterCall plays one filter notification the
// same way with a filter context.
//
// The structures are the program's own declarations (adapters/IsapiTypes.h),
// whose layout tests/adapters/IsapiTypes_test.cpp pins to the published one.
// A connection may be driven through the library's HttpExtensionProc or,
// in-process, by making its block the thread's current request of an engine.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "adapters/IsapiTypes.h"

namespace vantora {

// One request as the server hands it to the extension.
struct IsapiRequest {
  std::string method = "GET";
  std::string query;
  std::string path_info;
  std::string path_translated;
  std::string content_type;
  std::string body;
  // How many body bytes arrive preloaded in lpbData (the rest is read with
  // ReadClient); all of them by default.
  size_t preloaded = std::string::npos;
  // The most bytes one ReadClient call hands out (fewer than asked is
  // allowed by the interface); no limit by default.
  size_t read_piece = std::string::npos;
  // Server variables by name ("REMOTE_ADDR", "HTTP_USER_AGENT", ...).
  // REQUEST_METHOD, QUERY_STRING, CONTENT_TYPE and CONTENT_LENGTH are added
  // from the members above unless given here.
  std::map<std::string, std::string> variables;
};

// Plays the server for one extension request.  Not copyable: the block
// points back at it.
class IsapiConnection {
 public:
  explicit IsapiConnection(IsapiRequest request);
  IsapiConnection(const IsapiConnection&) = delete;
  IsapiConnection& operator=(const IsapiConnection&) = delete;

  // The block to hand to HttpExtensionProc (or to make current in-process).
  TEXTENSION_CONTROL_BLOCK* block() { return &block_; }

  // What the library did.
  const std::string& output() const { return output_; }  // WriteClient bytes
  std::string log_data() const;                          // lpszLogData
  DWORD status_code() const { return block_.dwHttpStatusCode; }
  const std::vector<std::string>& redirects() const { return redirects_; }
  const std::vector<std::string>& variables_asked() const { return variables_asked_; }
  int read_calls() const { return read_calls_; }
  size_t body_bytes_read() const { return body_position_; }

  // The response split at its first empty line: header lines (without the
  // empty line) and body.
  std::string head() const;
  std::string body() const;

 private:
  static BOOL GetServerVariable(HCONN conn, char* name, void* buffer, DWORD* size);
  static BOOL WriteClient(HCONN conn, void* buffer, DWORD* bytes, DWORD reserved);
  static BOOL ReadClient(HCONN conn, void* buffer, DWORD* size);
  static BOOL ServerSupportFunction(HCONN conn, DWORD request, void* buffer, DWORD* size,
                                    DWORD* data_type);

  IsapiRequest request_;
  std::map<std::string, std::string> variables_;
  TEXTENSION_CONTROL_BLOCK block_{};
  size_t body_position_ = 0;
  std::string output_;
  std::vector<std::string> redirects_;
  std::vector<std::string> variables_asked_;
  int read_calls_ = 0;
};

// Plays the server for one filter notification.
class IsapiFilterCall {
 public:
  // variables: what the filter context's GetServerVariable answers.
  explicit IsapiFilterCall(std::map<std::string, std::string> variables = {});
  IsapiFilterCall(const IsapiFilterCall&) = delete;
  IsapiFilterCall& operator=(const IsapiFilterCall&) = delete;

  THTTP_FILTER_CONTEXT* context() { return &context_; }
  // A raw-data record over raw_bytes (which must outlive its use).
  THTTP_FILTER_RAW_DATA RawData(std::string& raw_bytes) const;
  const std::string& output() const { return output_; }

 private:
  static BOOL GetServerVariable(THTTP_FILTER_CONTEXT* pfc, char* name, void* buffer, DWORD* size);
  static BOOL WriteClient(THTTP_FILTER_CONTEXT* pfc, void* buffer, DWORD* bytes, DWORD reserved);

  std::map<std::string, std::string> variables_;
  THTTP_FILTER_CONTEXT context_{};
  std::string output_;
};

// A copy of libvantora.so loaded into the test process.  The library file is
// copied into `folder` first, so the program's files (statistics, templates,
// the log) are that folder's, and each copy has process-wide state of its
// own.  A copy is never unloaded: threads the program started (reverse
// lookups past their deadline) may still run its code.
class IsapiLibrary {
 public:
  // Throws std::runtime_error when the copy or the load fails, or an entry
  // point is missing.
  IsapiLibrary(const std::string& library_file, const std::string& folder);
  IsapiLibrary(const IsapiLibrary&) = delete;
  IsapiLibrary& operator=(const IsapiLibrary&) = delete;

  // The path of the loaded copy.
  const std::string& path() const { return path_; }

  TGetExtensionVersionProc GetExtensionVersion = nullptr;
  THttpExtensionProcProc HttpExtensionProc = nullptr;
  TTerminateExtensionProc TerminateExtension = nullptr;
  TGetFilterVersionProc GetFilterVersion = nullptr;
  THttpFilterProcProc HttpFilterProc = nullptr;

  // Runs one request through HttpExtensionProc; returns its result.
  DWORD Serve(IsapiConnection& connection) { return HttpExtensionProc(connection.block()); }

 private:
  std::string path_;
  void* handle_ = nullptr;
};

}  // namespace vantora
