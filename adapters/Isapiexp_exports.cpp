// The ISAPI entry points of libvantora.so.  A web server that loads the
// library calls GetExtensionVersion and/or GetFilterVersion once, then
// HttpExtensionProc for every request and HttpFilterProc for every filter
// notification, on many threads at once, and TerminateExtension before it
// unloads the library.
//
// Every entry point first runs the program start-up (once per process,
// StartLibrary), then hands the call to the process's ISAPI engine
// (adapters/IsapiEng.h).  No exception leaves an entry point: a failure is
// logged and reported to the server through the entry point's result.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "adapters/IsapiEng.h"
#include "adapters/IsapiTypes.h"
#include "adapters/LibraryExport.h"
#include "app/VantoraStartup.h"
#include "engine/HttpEngRoutines.h"

using namespace vantora;

namespace {

// The description the library gives in its version records.
constexpr char kDescription[] = "CORVEX 3.04.01";

// Copies text into a fixed character member, cut to fit, zero-terminated.
void CopyText(const std::string& text, char* member, size_t size) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(member, text.data(), n);
  member[n] = '\0';
}

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

// The process's ISAPI engine after the start-up; throws when there is none.
TISAPIEngine& Engine() {
  StartLibrary();
  TISAPIEngine* engine = ProcessIsapiEngine();
  if (engine == nullptr) throw std::runtime_error("The ISAPI engine was not created");
  return *engine;
}

// Makes a block or filter context the calling thread's current one for the
// length of one entry-point call, and restores the one before (the server
// may raise a filter notification on a thread that serves an extension).
template <class T>
class CurrentScope {
 public:
  CurrentScope(T*& slot, T* value) : slot_(slot), before_(slot) { slot_ = value; }
  ~CurrentScope() { slot_ = before_; }
  CurrentScope(const CurrentScope&) = delete;
  CurrentScope& operator=(const CurrentScope&) = delete;

 private:
  T*& slot_;
  T* before_;
};

}  // namespace

VANTORA_EXPORT BOOL GetExtensionVersion(THSE_VERSION_INFO* pVer) {
  if (pVer == nullptr) return kIsapiFalse;
  try {
    TISAPIEngine& engine = Engine();
    pVer->dwExtensionVersion = kIsapiVersion;
    CopyText(kDescription, pVer->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN);
    bool result = true;
    if (engine.OnHttpExtensionVersion) {
      int version = static_cast<int>(pVer->dwExtensionVersion);
      std::string description = kDescription;
      engine.OnHttpExtensionVersion(version, description, result);
      pVer->dwExtensionVersion = static_cast<DWORD>(version);
      // A description the handler gives reaches the server too.
      CopyText(description, pVer->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN);
    }
    return result ? kIsapiTrue : kIsapiFalse;
  } catch (...) {
    WriteLog(CurrentMessage());
    return kIsapiFalse;
  }
}

VANTORA_EXPORT DWORD HttpExtensionProc(TEXTENSION_CONTROL_BLOCK* pECB) {
  if (pECB == nullptr) return HSE_STATUS_ERROR;
  IsapiThreadState& state = IsapiState();
  CurrentScope<TEXTENSION_CONTROL_BLOCK> current(state.extension, pECB);
  std::string failure;
  try {
    TISAPIEngine& engine = Engine();
    if (!engine.OnExecRequest) return HSE_STATUS_SUCCESS;
    state.failure.clear();
    engine.RunRequest();
    // The request cycle has logged a failure of the request's handling; the
    // server learns of it through the status and its own log.
    failure.swap(state.failure);
  } catch (...) {
    failure = CurrentMessage();
    WriteLog(failure);
  }
  if (failure.empty()) return HSE_STATUS_SUCCESS;
  CopyText(failure, pECB->lpszLogData, HSE_LOG_BUFFER_LEN);
  return HSE_STATUS_ERROR;
}

VANTORA_EXPORT BOOL TerminateExtension(DWORD /*dwFlags*/) {
  try {
    TISAPIEngine& engine = Engine();
    if (engine.OnLastExecRequest) engine.OnLastExecRequest(nullptr);
    return kIsapiTrue;
  } catch (...) {
    WriteLog(CurrentMessage());
    return kIsapiFalse;
  }
}

VANTORA_EXPORT BOOL GetFilterVersion(THTTP_FILTER_VERSION* pVer) {
  if (pVer == nullptr) return kIsapiFalse;
  try {
    TISAPIEngine& engine = Engine();
    engine.MakeCurrent();
    pVer->dwFlags = 0;
    pVer->dwFilterVersion = kIsapiVersion;
    bool result = true;
    if (engine.OnHttpFilterVersion) {
      int server_version = static_cast<int>(pVer->dwServerFilterVersion);
      int filter_version = static_cast<int>(pVer->dwFilterVersion);
      int flags = static_cast<int>(pVer->dwFlags);
      std::string description;
      engine.OnHttpFilterVersion(server_version, filter_version, description, flags, result);
      pVer->dwServerFilterVersion = static_cast<DWORD>(server_version);
      pVer->dwFilterVersion = static_cast<DWORD>(filter_version);
      pVer->dwFlags = static_cast<DWORD>(flags);
      CopyText(description, pVer->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN);
    } else {
      pVer->lpszFilterDesc[0] = '\0';
    }
    return result ? kIsapiTrue : kIsapiFalse;
  } catch (...) {
    WriteLog(CurrentMessage());
    return kIsapiFalse;
  }
}

VANTORA_EXPORT DWORD HttpFilterProc(THTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                    void* pvNotification) {
  int result = static_cast<int>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  IsapiThreadState& state = IsapiState();
  CurrentScope<THTTP_FILTER_CONTEXT> current(state.filter, pfc);
  const DWORD type_before = state.notification_type;
  state.notification_type = NotificationType;
  try {
    TISAPIEngine& engine = Engine();
    engine.MakeCurrent();
    if (NotificationType == SF_NOTIFY_READ_RAW_DATA && pvNotification != nullptr) {
      const auto* raw = static_cast<const THTTP_FILTER_RAW_DATA*>(pvNotification);
      // Only the bytes the server says are there are read.
      const char* bytes = static_cast<const char*>(raw->pvInData);
      TISAPIEngine::ParseRawRequest(bytes ? std::string_view(bytes, raw->cbInData)
                                          : std::string_view());
    }
    if (engine.OnHttpFilterProc && pfc != nullptr) {
      engine.OnHttpFilterProc(*pfc, static_cast<int>(NotificationType), pvNotification, result);
    }
  } catch (...) {
    WriteLog(CurrentMessage());
  }
  state.notification_type = type_before;
  return static_cast<DWORD>(result);
}
