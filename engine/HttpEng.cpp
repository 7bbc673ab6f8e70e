#include "engine/HttpEng.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "engine/HttpEngRandom.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

thread_local RequestState request_state;

std::mutex& EncoderMutex() {
  static std::mutex mutex;
  return mutex;
}
TBitmapEncoder& GifEncoder() {
  static TBitmapEncoder encoder;
  return encoder;
}
TBitmapEncoder& JpegEncoder() {
  static TBitmapEncoder encoder;
  return encoder;
}

bool IsMissing(const std::string& value) { return value.empty() || value == kNotAvailable; }

// The value of the first variable, or of the second when the first is missing
// (empty or the sentinel).
std::string WithFallback(THttpEngine* engine, const char* name, const char* fallback) {
  std::string value = engine->GetVariable(name);
  if (IsMissing(value)) value = engine->GetVariable(fallback);
  return value;
}

// Collects whatever a request error carries into an exception for the
// error event.
void ReportRequestError(THttpEngine* engine, const std::exception& error) {
  if (engine->OnRequestError) {
    try {
      engine->OnRequestError(engine, error);
      return;
    } catch (const std::exception& nested) {
      ReportFailure(std::string("Unhandled exception : ") + nested.what());
    } catch (...) {
      ReportFailure("Unhandled exception : unknown error in OnRequestError");
    }
    return;
  }
  ReportFailure(std::string("Unhandled exception : ") + error.what());
}

}  // namespace

RequestState& CurrentRequestState() { return request_state; }

THttpEngine* CurrentEngine() { return request_state.engine; }

void SetGifEncoder(TBitmapEncoder encoder) {
  std::lock_guard<std::mutex> lock(EncoderMutex());
  GifEncoder() = std::move(encoder);
}

void SetJpegEncoder(TBitmapEncoder encoder) {
  std::lock_guard<std::mutex> lock(EncoderMutex());
  JpegEncoder() = std::move(encoder);
}

THttpEngine::THttpEngine(TComponent* owner, std::string name)
    : TComponent(owner, std::move(name)) {}

THttpEngine::~THttpEngine() {
  // A thread must never keep a reference to a destroyed engine.
  if (request_state.engine == this) request_state.engine = nullptr;
}

void THttpEngine::Loaded() {
  // No window is ever shown, so there is no form to minimise or hide.
  if (IsActiveAdapter()) MakeCurrent();
}

void THttpEngine::FinishRequest() {
  RequestState& state = request_state;
  if (state.temp_files) {
    for (const std::string& path : *state.temp_files) {
      ::unlink(path.c_str());  // a file already gone is fine
    }
    state.temp_files.reset();
  }
}

std::string THttpEngine::GetServerName() { return GetVariable("SERVER NAME"); }
std::string THttpEngine::GetServerSoftware() { return GetVariable("SERVER SOFTWARE"); }
std::string THttpEngine::GetGatewayInterface() { return GetVariable("GATEWAY INTERFACE"); }
std::string THttpEngine::GetServerProtocol() {
  return WithFallback(this, "SERVER PROTOCOL", "REQUEST PROTOCOL");
}
std::string THttpEngine::GetServerPort() { return GetVariable("SERVER PORT"); }
bool THttpEngine::IsSecurePort() { return GetVariable("SERVER PORT SECURE") == "1"; }
std::string THttpEngine::GetRequestMethod() { return GetVariable("REQUEST METHOD"); }
std::string THttpEngine::GetPathInfo() { return GetVariable("PATH INFO"); }
std::string THttpEngine::GetPathTranslated() {
  return WithFallback(this, "PATH TRANSLATED", "DOCUMENT ROOT");
}
std::string THttpEngine::GetScriptName() {
  return WithFallback(this, "SCRIPT NAME", "EXECUTABLE PATH");
}
std::string THttpEngine::GetQueryString() {
  std::string value = GetVariable("QUERY STRING");
  if (value == kNotAvailable) value.clear();
  return value;
}
std::string THttpEngine::GetRemoteHost() { return GetVariable("REMOTE HOST"); }
std::string THttpEngine::GetRemoteAddr() {
  return WithFallback(this, "REMOTE ADDR", "REMOTE ADDRESS");
}
std::string THttpEngine::GetAuthType() {
  return WithFallback(this, "AUTH TYPE", "AUTHETICATION METHOD");
}
std::string THttpEngine::GetRemoteUser() { return GetVariable("REMOTE USER"); }
std::string THttpEngine::GetRemoteIdent() { return GetVariable("REMOTE IDENT"); }
std::string THttpEngine::GetContentType() { return GetVariable("CONTENT TYPE"); }
int THttpEngine::GetContentLength() {
  int value = 0;
  return TryStrToInt(GetVariable("CONTENT LENGTH"), &value) ? value : 0;
}
std::string THttpEngine::GetUrl() {
  std::string value = WithFallback(this, "URL", "HTTP_URL");
  if (IsMissing(value)) value = GetExecutablePath();
  return value;
}
std::string THttpEngine::GetUserAgent() {
  return WithFallback(this, "HTTP USER AGENT", "USER AGENT");
}
std::string THttpEngine::GetCookie() { return GetVariable("HTTP COOKIE"); }
std::string THttpEngine::GetReferer() { return WithFallback(this, "HTTP REFERER", "REFERER"); }
std::string THttpEngine::GetExecutablePath() {
  return WithFallback(this, "EXECUTABLE PATH", "SCRIPT NAME");
}

TThread* THttpEngine::CurrentRequestThread() { return nullptr; }

void THttpEngine::WriteStatusLine() {
  const std::string software = UpperCase(GetServerSoftware());
  if (software.find("NETSCAPE") == std::string::npos &&
      software.find("APACHE") == std::string::npos) {
    SendLine("HTTP/1.1 200 OK");
  }
}

void THttpEngine::WriteErrorStatus() {
  const std::string software = UpperCase(GetServerSoftware());
  if (software.find("NETSCAPE") == std::string::npos &&
      software.find("APACHE") == std::string::npos) {
    SendLine("HTTP/1.1 500 Internal Server Error");
  } else {
    SendLine("Status: 500 Internal Server Error");
  }
}

void THttpEngine::ComposeHeader() {
  RequestState& state = request_state;
  if (!AutoHttpHeader() || state.header_composed) return;
  // Set first: the header lines below come back through SendText.
  state.header_composed = true;
  SendHeader("content-type", AutoContentType());
  if (NoCache()) {
    const std::string expired = HttpDate(Now() - 1000);
    SendHeader("Pragma", "no-cache");
    SendHeader("Cache-Control", "no-cache");
    SendHeader("Expires", expired);
    SendHeader("Document Expires", expired);
  }
  EndHeader();
}

void THttpEngine::SendText(const std::string& text) {
  RequestState& state = request_state;
  if (AutoHttpHeader() && !state.header_composed && !text.empty() && text[0] == '<') {
    ComposeHeader();
  }
  if (!text.empty()) state.response_started = true;
  if (text.empty()) return;
  if (!BufferedOutput() || state.direct_output) {
    WriteOut(text.data(), static_cast<int>(text.size()));
  } else if (state.output_buffer) {
    state.output_buffer->append(text);
  }
}

void THttpEngine::SendData(const void* bytes, int count) {
  RequestState& state = request_state;
  if (AutoHttpHeader() && !state.header_composed) {
    std::string type = AutoContentType();
    if (state.image_kind == TImageKind::Gif) type = "image/gif";
    if (state.image_kind == TImageKind::Jpeg) type = "image/jpeg";
    // Set before the header lines go out, so that an adapter whose header
    // writing passes through SendData never composes twice.
    state.header_composed = true;
    SendHeader("content-type", type);
    EndHeader();
  }
  if (count > 0) state.response_started = true;
  if (count <= 0) return;
  if (!BufferedOutput() || state.direct_output) {
    WriteOut(bytes, count);
  } else if (state.output_buffer) {
    state.output_buffer->append(static_cast<const char*>(bytes), static_cast<size_t>(count));
  }
}

void THttpEngine::WriteOut(const void* /*bytes*/, int /*count*/) {}

int THttpEngine::ReadData(void* /*buffer*/, int /*count*/) { return 0; }

void THttpEngine::SendHeader(const std::string& name, const std::string& value) {
  RequestState& state = request_state;
  if (AutoHttpHeader() && !state.first_header_written) {
    state.first_header_written = true;
    // The first header is a redirect when its name occurs inside "LOCATION";
    // a redirect carries no status line.
    if (std::string("LOCATION").find(UpperCase(name)) == std::string::npos) WriteStatusLine();
  }
  SendText(name + ":" + value + "\r\n");
}

void THttpEngine::EndHeader() { SendLine(std::string()); }

THttpEngine::TLock* THttpEngine::CreateLock() { return new TLock(); }
void THttpEngine::EnterLock(TLock* lock) {
  if (lock) lock->lock();
}
void THttpEngine::LeaveLock(TLock* lock) {
  if (lock) lock->unlock();
}
void THttpEngine::FreeLock(TLock* lock) { delete lock; }

bool THttpEngine::ServerComposesHeader() {
  return IsLibrary() && UpperCase(GetServerSoftware()).find("NETSCAPE") != std::string::npos;
}

void THttpEngine::MakeCurrent() { request_state.engine = this; }

void THttpEngine::SendLine(const std::string& text) { SendText(text + "\r\n"); }

bool THttpEngine::OutputIsDirect() const { return request_state.direct_output; }

void THttpEngine::RunRequest() {
  RequestState& state = request_state;
  state.temp_files.reset();
  if (BufferedOutput()) {
    state.output_buffer = std::make_unique<std::string>();
    state.direct_output = false;
  } else {
    state.output_buffer.reset();
    state.direct_output = true;
  }
  state.image_kind = TImageKind::None;
  if (state.request_number == 0) state.request_number = RandomBelow(1000);

  state.response_started = false;
  bool failed = false;
  BeginLogBatch();
  try {
    MakeCurrent();
    state.header_composed = false;
    state.first_header_written = false;
    // The per-request session objects are not kept: nothing in the program
    // reads, writes or stores them.
    ExecRequest();
    if (AutoHttpHeader() && !state.header_composed) {
      SendHeader("content-type", AutoContentType());
      EndHeader();
      state.header_composed = true;
    }
  } catch (const std::exception& error) {
    failed = true;
    ReportRequestError(this, error);
  } catch (...) {
    failed = true;
    ReportRequestError(this, std::runtime_error("unknown error"));
  }

  // A failure that left the response empty would reach the visitor as a
  // server's guess (an empty page, a gateway error): answer a real error.
  if (failed && !state.response_started) {
    try {
      SendFailureResponse();
    } catch (const std::exception& error) {
      ReportFailure(std::string("Unhandled exception : ") + error.what());
    } catch (...) {
      ReportFailure("Unhandled exception : unknown error");
    }
  }

  if (BufferedOutput()) {
    try {
      FlushBuffer();
    } catch (const std::exception& error) {
      ReportFailure(std::string("Unhandled exception : ") + error.what());
    } catch (...) {
      ReportFailure("Unhandled exception : unknown error");
    }
    state.output_buffer.reset();
  }

  // The request's log lines go out before FinishRequest, which may end the
  // process.
  EndLogBatch();
  FinishRequest();
  state.request_number = 0;
}

void THttpEngine::SendFailureResponse() {
  RequestState& state = request_state;
  // The error status takes the place of the automatic "200" status line and
  // header.
  state.first_header_written = true;
  state.header_composed = true;
  WriteErrorStatus();
  SendHeader("content-type", "text/plain");
  EndHeader();
  SendText(kFailureBody);
}

void THttpEngine::FlushBuffer() {
  RequestState& state = request_state;
  state.direct_output = true;
  std::unique_ptr<std::string> buffer = std::move(state.output_buffer);
  if (!buffer) return;
  const int size = static_cast<int>(buffer->size());
  if (!AutoHttpHeader()) {
    SendData(buffer->data(), size);
    return;
  }
  if (ServerComposesHeader()) {
    SendHeader("content-length", std::to_string(size));
    EndHeader();
    SendData(buffer->data(), size);
    return;
  }
  // The header ends at the first empty line of the text before any zero byte.
  const size_t text_end = std::strlen(buffer->c_str());
  const size_t header = std::string_view(buffer->data(), text_end).find("\r\n\r\n");
  if (header == std::string_view::npos) {
    SendData(buffer->data(), size);
    return;
  }
  const int h = static_cast<int>(header);
  SendData(buffer->data(), h + 2);
  SendHeader("content-length", std::to_string(size - h - 4));
  EndHeader();
  SendData(buffer->data() + h + 4, size - h - 4);
}

void THttpEngine::SendGifImage(const TBitmap& bitmap) {
  request_state.image_kind = TImageKind::Gif;
  TBitmapEncoder encoder;
  {
    std::lock_guard<std::mutex> lock(EncoderMutex());
    encoder = GifEncoder();
  }
  if (!encoder) throw std::runtime_error("No GIF encoder is installed");
  encoder(bitmap);
}

void THttpEngine::SendJpegImage(const TBitmap& bitmap) {
  request_state.image_kind = TImageKind::Jpeg;
  TBitmapEncoder encoder;
  {
    std::lock_guard<std::mutex> lock(EncoderMutex());
    encoder = JpegEncoder();
  }
  if (!encoder) throw std::runtime_error("No JPEG encoder is installed");
  encoder(bitmap);
}

std::vector<std::string> THttpEngine::ListFieldNames(const std::string& data) {
  return vantora::ListFieldNames(data);
}

}  // namespace vantora
