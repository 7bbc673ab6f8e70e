// The ISAPI adapter: serves requests when a web server has loaded the program
// as a library (libvantora.so) through its extension and filter interface.
//
// The server calls the library's entry points (adapters/Isapiexp_exports.cpp)
// on its own threads, many at once.  HttpExtensionProc makes the extension
// control block the calling thread's current request and runs the request
// cycle (RunRequest) of the process's ISAPI engine on that thread; request
// variables come from the block's members and GetServerVariable, the body
// from its preloaded bytes and ReadClient, and the response goes out through
// WriteClient.  HttpFilterProc makes the filter context the thread's current
// filter call; during a raw-data notification the adapter takes the request's
// fields (and its Cookie header) from the raw request bytes.
//
// Threads: everything about one request lives in the calling thread's
// IsapiThreadState and RequestState.  The engine object is shared: its
// properties are set once, by the facade, before the first request; the
// first-request event runs once, and the other requests wait for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "adapters/GenEng.h"
#include "adapters/IsapiTypes.h"
#include "engine/HttpEng.h"

namespace vantora {

// The adapter's per-thread fields.
struct IsapiThreadState {
  // The extension request served on this thread, or null.  Not owned: the
  // server's block, valid while HttpExtensionProc runs.
  TEXTENSION_CONTROL_BLOCK* extension = nullptr;
  // The filter call on this thread and its notification type (null / 0
  // outside a filter call).  Not owned.
  THTTP_FILTER_CONTEXT* filter = nullptr;
  DWORD notification_type = 0;
  // How many of the block's preloaded body bytes ReadData has handed out.
  DWORD read_position = 0;
  // cbTotalBytes of the present request, and the bytes still to come through
  // ReadClient (cbTotalBytes - cbAvailable).
  DWORD content_length = 0;
  DWORD remaining = 0;
  // The url-encoded field data of the request (body and query, or the raw
  // data's fields in a filter).
  std::string fields;
  // The text after "Cookie:" of the last raw request data seen on this
  // thread; "HTTP_COOKIE" falls back to it during header preprocessing.
  std::string cookie_line;
  // The message of the error that ended the handling of the present
  // extension request, empty when none did.
  std::string failure;
};

// The calling thread's record.
IsapiThreadState& IsapiState();

// The most ReadData asks of one ReadClient call.
inline constexpr DWORD kReadClientChunk = 32386;
// The most of a Location value that goes into a server redirect.
inline constexpr size_t kRedirectMaxLength = 1024;
// The most of a Cookie header line the raw-data parse keeps.
inline constexpr size_t kCookieLineMaxLength = 4096;

class TISAPIEngine : public THttpEngine {
 public:
  // Takes over the facade's settings and handlers.  The new engine becomes
  // the process's ISAPI engine (ProcessIsapiEngine()).
  TISAPIEngine(TComponent* owner, bool buffered_output, bool no_cache, std::string temp_dir,
               std::string session_name, int auto_read_limit, bool auto_read_input,
               std::string auto_content_type, bool auto_http_header,
               TRequestErrorEvent on_request_error, TLastExecRequestEvent on_last_exec_request,
               TExecRequestEvent on_exec_request, TFirstExecRequestEvent on_first_exec_request,
               THttpExtensionVersionEvent on_extension_version, THttpFilterProcEvent on_filter_proc,
               THttpFilterVersionEvent on_filter_version);
  ~TISAPIEngine() override;

  // Published events, filled by the facade from its OnIsapi... handlers.
  THttpExtensionVersionEvent OnHttpExtensionVersion;
  THttpFilterProcEvent OnHttpFilterProc;
  THttpFilterVersionEvent OnHttpFilterVersion;

  // Reads the request's fields, raises OnFirstExecRequest once per engine
  // (requests that arrive meanwhile wait for it), then OnExecRequest.
  void ExecRequest() override;
  // cbTotalBytes of the present request (at most INT_MAX).
  int GetContentLength() override;
  // SCRIPT_NAME; a file-system path (leading '/') is cut to its last two
  // parts: /srv/www/scripts/app.so gives /scripts/app.so.
  std::string GetExecutablePath() override;
  // Extension request: through WriteClient (unless output is being
  // collected).  Filter call: through the filter context's WriteClient,
  // except text during a send-raw-data notification.
  void SendText(const std::string& text) override;
  void SendData(const void* bytes, int count) override;
  // The preloaded body bytes first, then ReadClient in pieces of at most
  // kReadClientChunk until count bytes are in.  Returns count, or -1 when
  // ReadClient fails or the client sends no more.
  int ReadData(void* buffer, int count) override;
  // Extension request: a header named Location (any case) becomes the
  // server's redirect (HSE_REQ_SEND_URL_REDIRECT_RESP) instead of a header
  // line; the redirect is the whole response, so nothing of the automatic
  // header follows it.  Filter call: nothing.
  void SendHeader(const std::string& name, const std::string& value) override;
  // A failed extension request: the block's dwHttpStatusCode becomes 500,
  // which the server logs, and the status line goes out as the base writes
  // it.
  void WriteErrorStatus() override;
  // Names in upper case with '_' between words.  QUERY_STRING, PATH_INFO and
  // PATH_TRANSLATED come from the block's members, everything else from the
  // server's GetServerVariable (a value longer than the first buffer is
  // asked again with the size the server reports).  During header
  // preprocessing a missing HTTP_COOKIE is the Cookie header kept from the
  // raw data.  Empty when missing or outside a request.
  std::string GetVariable(const std::string& name) override;
  std::string GetField(const std::string& name, const std::string& default_value) override;
  std::vector<std::string> GetFieldNames() override;
  // True when the program runs as a library.
  bool IsActiveAdapter() override;

  // The request's field data: the body (url-encoded, read whole, or decoded
  // from multipart/form-data) and the query string after it.
  std::string ReadRequestFields();
  // Fills the thread's fields (and cookie line) from raw request bytes, as a
  // filter sees them in SF_NOTIFY_READ_RAW_DATA: the query of the request
  // line, and for a url-encoded POST the body in front of it.  raw is read
  // as text up to its first zero byte; a Cookie header line is kept for
  // GetVariable's fallback.
  static void ParseRawRequest(std::string_view raw);

 private:
  // OnFirstExecRequest once per engine, then OnExecRequest.
  void RaiseRequestEvents();
  // Writes through the extension's or the filter's WriteClient.
  void WriteToServer(const void* bytes, size_t count);
  // An extension request's uncollected output, through WriteClient.
  void WriteOut(const void* bytes, int count) override;

  std::atomic<bool> loaded_{false};
  std::once_flag first_request_;
};

// The process's ISAPI engine (the last one constructed), or null.  Any thread.
TISAPIEngine* ProcessIsapiEngine();

}  // namespace vantora
