#include "adapters/IsapiEng.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <string_view>

#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

thread_local IsapiThreadState isapi_state;
std::atomic<TISAPIEngine*> isapi_engine{nullptr};

// The largest value a GetServerVariable answer is fetched for when the
// server reports that it needs more than the first buffer.
constexpr DWORD kServerVariableMaxSize = 1u << 24;
// Names longer than this are not asked of the server.
constexpr size_t kVariableNameMaxLength = 255;
// The most of SCRIPT_NAME that GetExecutablePath keeps.
constexpr size_t kExecutablePathMaxLength = 512;

std::string TextUpToZero(const char* bytes, size_t size) {
  if (bytes == nullptr) return std::string();
  return std::string(bytes, strnlen(bytes, size));
}

std::string TextOf(const char* text) { return text ? std::string(text) : std::string(); }

// A server variable through either GetServerVariable: first with the usual
// buffer, and once more with the size the server asks for when the value
// did not fit.  Empty when the server has no value.
template <class Lookup>
std::string ServerVariable(const Lookup& lookup, std::string name) {
  std::string buffer(kServerVariableBufferSize, '\0');
  DWORD size = kServerVariableBufferSize;
  BOOL ok = lookup(name.data(), buffer.data(), &size);
  if (!ok && size > kServerVariableBufferSize && size <= kServerVariableMaxSize) {
    buffer.assign(size, '\0');
    ok = lookup(name.data(), buffer.data(), &size);
  }
  if (!ok || size == 0) return std::string();
  return TextUpToZero(buffer.data(), std::min<size_t>(size, buffer.size()));
}

// Reads up to count body bytes through the block's ReadClient, in pieces of
// at most kReadClientChunk, until count bytes are in or a call fails or
// returns nothing.  Returns the number read.
size_t ReadFromClient(TEXTENSION_CONTROL_BLOCK* block, char* buffer, size_t count) {
  if (block == nullptr || block->ReadClient == nullptr) return 0;
  size_t done = 0;
  while (done < count) {
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(count - done, kReadClientChunk));
    DWORD size = ask;
    if (!block->ReadClient(block->ConnID, buffer + done, &size) || size == 0) break;
    done += std::min(size, ask);
  }
  return done;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

IsapiThreadState& IsapiState() { return isapi_state; }

TISAPIEngine* ProcessIsapiEngine() { return isapi_engine.load(std::memory_order_acquire); }

TISAPIEngine::TISAPIEngine(
    TComponent* owner, bool buffered_output, bool no_cache, std::string temp_dir,
    std::string session_name, int auto_read_limit, bool auto_read_input,
    std::string auto_content_type, bool auto_http_header, TRequestErrorEvent on_request_error,
    TLastExecRequestEvent on_last_exec_request, TExecRequestEvent on_exec_request,
    TFirstExecRequestEvent on_first_exec_request, THttpExtensionVersionEvent on_extension_version,
    THttpFilterProcEvent on_filter_proc, THttpFilterVersionEvent on_filter_version)
    : THttpEngine(owner, "ISAPIEngine") {
  SetAutoReadInput(auto_read_input);
  SetAutoReadLimit(auto_read_limit);
  SetSessionName(std::move(session_name));
  SetTempDir(std::move(temp_dir));
  SetBufferedOutput(buffered_output);
  SetNoCache(no_cache);
  SetAutoHttpHeader(auto_http_header);
  SetAutoContentType(std::move(auto_content_type));
  OnHttpExtensionVersion = std::move(on_extension_version);
  OnHttpFilterProc = std::move(on_filter_proc);
  OnHttpFilterVersion = std::move(on_filter_version);
  OnRequestError = std::move(on_request_error);
  OnFirstExecRequest = std::move(on_first_exec_request);
  OnExecRequest = std::move(on_exec_request);
  OnLastExecRequest = std::move(on_last_exec_request);
  // Published last, once every setting is in place: the entry points may
  // hand it requests from other threads from now on.
  isapi_engine.store(this, std::memory_order_release);
}

TISAPIEngine::~TISAPIEngine() {
  TISAPIEngine* self = this;
  isapi_engine.compare_exchange_strong(self, nullptr);
}

void TISAPIEngine::ExecRequest() {
  // The loaded step of a component read from a form, once per engine: the
  // library adapters are created by code.
  if (!loaded_.load(std::memory_order_acquire) && IsActiveAdapter() && !loaded_.exchange(true)) {
    Loaded();
  }
  IsapiThreadState& state = isapi_state;
  try {
    // Cleared first: a request whose data cannot be read has no fields of
    // the thread's previous request.
    state.fields.clear();
    state.fields = ReadRequestFields();
    RaiseRequestEvents();
  } catch (const std::exception& error) {
    // Kept for the entry point, which tells the server (the request cycle
    // logs it).
    state.failure = error.what();
    throw;
  } catch (...) {
    state.failure = "unknown error";
    throw;
  }
}

void TISAPIEngine::RaiseRequestEvents() {
  // The first request's event runs once; requests that arrive meanwhile wait
  // for it, so that no handler runs before it has finished.
  std::exception_ptr first_failure;
  std::call_once(first_request_, [this, &first_failure] {
    if (!OnFirstExecRequest) return;
    try {
      OnFirstExecRequest(this);
    } catch (...) {
      first_failure = std::current_exception();
    }
  });
  if (first_failure) std::rethrow_exception(first_failure);

  if (OnExecRequest) OnExecRequest(this);
}

std::string TISAPIEngine::ReadRequestFields() {
  IsapiThreadState& state = isapi_state;
  TEXTENSION_CONTROL_BLOCK* block = state.extension;
  state.read_position = 0;
  state.content_length = block ? block->cbTotalBytes : 0;
  const DWORD available = block ? std::min(block->cbAvailable, block->cbTotalBytes) : 0;
  state.remaining = state.content_length - available;

  std::string text;
  const std::string content_type = UpperCase(GetVariable("CONTENT_TYPE"));
  if (content_type.find("MULTIPART/FORM-DATA;") == std::string::npos) {
    if (block && block->lpbData) text.assign(reinterpret_cast<char*>(block->lpbData), available);
    if (static_cast<long long>(state.remaining) > AutoReadLimit()) {
      WriteLog("Content length exceeds AutoReadLimit");
      return TextUpToZero(text.data(), text.size());
    }
    if (state.remaining > 0 && AutoReadInput()) {
      // ReadClient may hand out fewer bytes than asked: read on until the
      // body is complete or the client stops sending.
      std::string rest(state.remaining, '\0');
      rest.resize(ReadFromClient(block, rest.data(), rest.size()));
      text += rest;
    }
    text = TextUpToZero(text.data(), text.size());
  } else if (AutoReadInput()) {
    if (static_cast<long long>(state.remaining) > AutoReadLimit()) {
      WriteLog("Content length exceeds AutoReadLimit");
    } else {
      text = ReadMultipartInput();
    }
  }

  const std::string query = GetQueryString();
  if (query.empty()) return text;
  // Decoded multipart data already ends with its '&': a second one would
  // glue an empty piece to the query's first field name.
  if (text.empty() || text.back() == '&') return text + query;
  return text + "&" + query;
}

int TISAPIEngine::GetContentLength() {
  return static_cast<int>(std::min<DWORD>(isapi_state.content_length, INT_MAX));
}

std::string TISAPIEngine::GetExecutablePath() {
  std::string value = GetVariable("SCRIPT NAME");
  if (!IsAbsolutePath(value)) return value;
  const size_t last = value.rfind('/');
  if (last == 0) return value;
  const size_t second_last = value.rfind('/', last - 1);
  if (second_last != std::string::npos) value.erase(0, second_last);
  if (value.size() > kExecutablePathMaxLength) value.resize(kExecutablePathMaxLength);
  return value;
}

void TISAPIEngine::WriteToServer(const void* bytes, size_t count) {
  IsapiThreadState& state = isapi_state;
  const char* data = static_cast<const char*>(bytes);
  size_t done = 0;
  // A client that went away must not stop the request: what the server
  // refuses is dropped.
  while (done < count) {
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(count - done, UINT32_MAX));
    DWORD written = ask;
    void* piece = const_cast<char*>(data + done);
    BOOL ok = kIsapiFalse;
    if (state.extension) {
      if (state.extension->WriteClient == nullptr) return;
      ok = state.extension->WriteClient(state.extension->ConnID, piece, &written, 0);
    } else if (state.filter) {
      if (state.filter->WriteClient == nullptr) return;
      ok = state.filter->WriteClient(state.filter, piece, &written, 0);
    }
    if (!ok || written == 0) return;
    done += std::min(written, ask);
  }
}

void TISAPIEngine::SendText(const std::string& text) {
  IsapiThreadState& state = isapi_state;
  if (state.extension == nullptr && state.filter != nullptr) {
    // A filter writes its text straight to the connection, header rules aside.
    if (state.notification_type != SF_NOTIFY_SEND_RAW_DATA) WriteToServer(text.data(), text.size());
    return;
  }
  THttpEngine::SendText(text);
}

void TISAPIEngine::SendData(const void* bytes, int count) {
  THttpEngine::SendData(bytes, count);
  IsapiThreadState& state = isapi_state;
  if (count > 0 && state.extension == nullptr && state.filter != nullptr) {
    WriteToServer(bytes, static_cast<size_t>(count));
  }
}

void TISAPIEngine::WriteOut(const void* bytes, int count) {
  if (isapi_state.extension) WriteToServer(bytes, static_cast<size_t>(count));
}

int TISAPIEngine::ReadData(void* buffer, int count) {
  if (count <= 0) return 0;
  IsapiThreadState& state = isapi_state;
  TEXTENSION_CONTROL_BLOCK* block = state.extension;
  if (block == nullptr) return -1;
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  const DWORD available = std::min(block->cbAvailable, block->cbTotalBytes);
  if (block->lpbData && state.read_position < available) {
    done = std::min<size_t>(static_cast<size_t>(count), available - state.read_position);
    std::memcpy(out, block->lpbData + state.read_position, done);
    state.read_position += static_cast<DWORD>(done);
  }
  done += ReadFromClient(block, out + done, static_cast<size_t>(count) - done);
  return done == static_cast<size_t>(count) ? count : -1;
}

void TISAPIEngine::SendHeader(const std::string& name, const std::string& value) {
  IsapiThreadState& state = isapi_state;
  if (state.extension == nullptr) return;
  if (UpperCase(name) != "LOCATION") {
    THttpEngine::SendHeader(name, value);
    return;
  }
  TEXTENSION_CONTROL_BLOCK* block = state.extension;
  std::string url = value.substr(0, kRedirectMaxLength);
  DWORD size = static_cast<DWORD>(url.size() + 1);
  if (block->ServerSupportFunction) {
    block->ServerSupportFunction(block->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, url.data(), &size,
                                 nullptr);
  }
  // The server's redirect is a whole response: no status line or automatic
  // header of this request may follow it onto the connection.
  RequestState& request = CurrentRequestState();
  request.first_header_written = true;
  request.header_composed = true;
}

void TISAPIEngine::WriteErrorStatus() {
  if (TEXTENSION_CONTROL_BLOCK* block = isapi_state.extension) block->dwHttpStatusCode = 500;
  THttpEngine::WriteErrorStatus();
}

std::string TISAPIEngine::GetVariable(const std::string& name) {
  std::string key = UpperCase(name);
  std::replace(key.begin(), key.end(), ' ', '_');
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  if (key.size() > kVariableNameMaxLength) return std::string();

  IsapiThreadState& state = isapi_state;
  if (TEXTENSION_CONTROL_BLOCK* block = state.extension) {
    if (key == "QUERY_STRING") return TextOf(block->lpszQueryString);
    if (key == "PATH_INFO") return TextOf(block->lpszPathInfo);
    if (key == "PATH_TRANSLATED") return TextOf(block->lpszPathTranslated);
    if (block->GetServerVariable == nullptr) return std::string();
    return ServerVariable(
        [block](char* variable, void* buffer, DWORD* size) {
          return block->GetServerVariable(block->ConnID, variable, buffer, size);
        },
        key);
  }
  if (THTTP_FILTER_CONTEXT* filter = state.filter) {
    std::string value;
    if (filter->GetServerVariable) {
      value = ServerVariable(
          [filter](char* variable, void* buffer, DWORD* size) {
            return filter->GetServerVariable(filter, variable, buffer, size);
          },
          key);
    }
    // While the server preprocesses the headers, the cookie may not be a
    // variable yet: the Cookie header of the raw data stands in for it.
    if (value.empty() && key == "HTTP_COOKIE" &&
        state.notification_type == SF_NOTIFY_PREPROC_HEADERS) {
      value = state.cookie_line;
    }
    return value;
  }
  return std::string();
}

std::string TISAPIEngine::GetField(const std::string& name, const std::string& default_value) {
  return FindField(isapi_state.fields, name, default_value);
}

std::vector<std::string> TISAPIEngine::GetFieldNames() {
  return ListFieldNames(isapi_state.fields);
}

bool TISAPIEngine::IsActiveAdapter() { return IsLibrary(); }

void TISAPIEngine::ParseRawRequest(std::string_view raw) {
  IsapiThreadState& state = isapi_state;
  raw = raw.substr(0, std::min(raw.size(), raw.find('\0')));
  state.fields.clear();
  bool request_line = true;
  bool is_post = false;
  bool url_encoded = false;
  size_t pos = 0;
  while (pos < raw.size()) {
    const size_t line_feed = raw.find('\n', pos);
    const size_t end = line_feed == std::string_view::npos ? raw.size() : line_feed;
    const std::string line = Trim(raw.substr(pos, end - pos));
    if (line.empty()) break;
    const std::string upper = UpperCase(line);
    if (request_line) {
      request_line = false;
      is_post = StartsWith(upper, "POST");
      const size_t question = line.find('?');
      if (question != std::string::npos && question >= 1) {
        std::string query = line.substr(question + 1);
        const size_t blank = query.find(' ');
        if (blank != std::string::npos) query.resize(blank);
        state.fields = query;
      }
    } else if (is_post && StartsWith(upper, "CONTENT-TYPE:")) {
      url_encoded = upper.find("URLENCODED") != std::string::npos;
    }
    // Header lines are scanned for the Cookie header in every request, so
    // that the header notification can fall back to it.
    if (StartsWith(upper, "COOKIE:")) {
      state.cookie_line = Trim(std::string_view(line).substr(7, kCookieLineMaxLength));
    }
    if (line_feed == std::string_view::npos) {
      pos = raw.size();
      break;
    }
    pos = line_feed + 1;
    if (pos >= raw.size() || raw[pos] == '\r' || raw[pos] == '\n') break;
  }
  if (is_post && url_encoded) {
    const std::string body = Trim(raw.substr(std::min(pos, raw.size())));
    if (state.fields.empty()) {
      state.fields = body;
    } else if (!body.empty()) {
      state.fields = body + "&" + state.fields;
    }
  }
}

}  // namespace vantora
