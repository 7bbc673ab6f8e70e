// The ISAPI structures and constants the program uses: the extension control
// block and version record of an extension, the filter context, version
// record and raw-data record of a filter, the status values and the requests
// the program makes of the server.
//
// Laid out as the published interface lays them out, with its types kept at
// their published widths on 64-bit Linux, so that any host written from the
// same interface agrees on every offset: DWORD is 32 bits, BOOL is a 32-bit
// int (TRUE 1), handles and untyped pointers are pointers, members keep their
// published order with natural alignment, and the server's callbacks are
// plain C function pointers.  tests/adapters/IsapiTypes_test.cpp pins the
// offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantora {

using DWORD = uint32_t;
using BOOL = int32_t;
using HCONN = void*;

inline constexpr BOOL kIsapiTrue = 1;
inline constexpr BOOL kIsapiFalse = 0;

// ---- Extensions ----

inline constexpr size_t HSE_MAX_EXT_DLL_NAME_LEN = 256;
inline constexpr size_t HSE_LOG_BUFFER_LEN = 80;

// Results of HttpExtensionProc.
inline constexpr DWORD HSE_STATUS_SUCCESS = 1;
inline constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
inline constexpr DWORD HSE_STATUS_PENDING = 3;
inline constexpr DWORD HSE_STATUS_ERROR = 4;

// ServerSupportFunction requests of an extension.
inline constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = 1;
inline constexpr DWORD HSE_REQ_SEND_URL = 2;
inline constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = 3;
inline constexpr DWORD HSE_REQ_DONE_WITH_SESSION = 4;

// The size a server reports with a failed GetServerVariable when the buffer
// was too small: it sets *lpdwSize to the size needed (terminating zero
// included) and returns FALSE.
inline constexpr DWORD kServerVariableBufferSize = 8193;

// The version a library states in its version records: major 2, minor 0.
inline constexpr DWORD kIsapiVersion = 0x00020000;

struct THSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};

struct TEXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[HSE_LOG_BUFFER_LEN];
  char* lpszMethod;
  char* lpszQueryString;
  char* lpszPathInfo;
  char* lpszPathTranslated;
  // Size of the request body; cbAvailable of its bytes are in lpbData, the
  // rest comes through ReadClient.
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  unsigned char* lpbData;
  char* lpszContentType;
  // *lpdwSize: in, the buffer's size; out, the value's size with its
  // terminating zero (or the size needed, when the call fails for a small
  // buffer).
  BOOL (*GetServerVariable)(HCONN hConn, char* lpszVariableName, void* lpvBuffer, DWORD* lpdwSize);
  // *lpdwBytes: in, the count to write; out, the count written.
  BOOL (*WriteClient)(HCONN ConnID, void* Buffer, DWORD* lpdwBytes, DWORD dwReserved);
  // *lpdwSize: in, the most to read; out, the count read (0: the client
  // closed the connection).
  BOOL (*ReadClient)(HCONN ConnID, void* lpvBuffer, DWORD* lpdwSize);
  BOOL(*ServerSupportFunction)
  (HCONN hConn, DWORD dwHSERequest, void* lpvBuffer, DWORD* lpdwSize, DWORD* lpdwDataType);
};

// ---- Filters ----

inline constexpr size_t SF_MAX_FILTER_DESC_LEN = 256 + 1;

// Notification types and the flags a filter asks for them with.
inline constexpr DWORD SF_NOTIFY_SECURE_PORT = 0x00000001;
inline constexpr DWORD SF_NOTIFY_NONSECURE_PORT = 0x00000002;
inline constexpr DWORD SF_NOTIFY_READ_RAW_DATA = 0x00008000;
inline constexpr DWORD SF_NOTIFY_PREPROC_HEADERS = 0x00004000;
inline constexpr DWORD SF_NOTIFY_AUTHENTICATION = 0x00002000;
inline constexpr DWORD SF_NOTIFY_URL_MAP = 0x00001000;
inline constexpr DWORD SF_NOTIFY_ACCESS_DENIED = 0x00000800;
inline constexpr DWORD SF_NOTIFY_SEND_RESPONSE = 0x00000040;
inline constexpr DWORD SF_NOTIFY_SEND_RAW_DATA = 0x00000400;
inline constexpr DWORD SF_NOTIFY_LOG = 0x00000200;
inline constexpr DWORD SF_NOTIFY_END_OF_REQUEST = 0x00000080;
inline constexpr DWORD SF_NOTIFY_END_OF_NET_SESSION = 0x00000100;
inline constexpr DWORD SF_NOTIFY_ORDER_HIGH = 0x00080000;
inline constexpr DWORD SF_NOTIFY_ORDER_MEDIUM = 0x00040000;
inline constexpr DWORD SF_NOTIFY_ORDER_LOW = 0x00020000;

// Results of HttpFilterProc.
inline constexpr DWORD SF_STATUS_REQ_FINISHED = 0x08000000;
inline constexpr DWORD SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x08000001;
inline constexpr DWORD SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002;
inline constexpr DWORD SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x08000003;
inline constexpr DWORD SF_STATUS_REQ_ERROR = 0x08000004;
inline constexpr DWORD SF_STATUS_REQ_READ_NEXT = 0x08000005;

struct THTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
};

struct THTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  void* ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  void* pFilterContext;
  BOOL(*GetServerVariable)
  (THTTP_FILTER_CONTEXT* pfc, char* lpszVariableName, void* lpvBuffer, DWORD* lpdwSize);
  BOOL (*AddResponseHeaders)(THTTP_FILTER_CONTEXT* pfc, char* lpszHeaders, DWORD dwReserved);
  BOOL (*WriteClient)(THTTP_FILTER_CONTEXT* pfc, void* Buffer, DWORD* lpdwBytes, DWORD dwReserved);
  void* (*AllocMem)(THTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL(*ServerSupportFunction)
  (THTTP_FILTER_CONTEXT* pfc, DWORD sfReq, void* pData, uintptr_t ul1, uintptr_t ul2);
};

// The record of SF_NOTIFY_READ_RAW_DATA and SF_NOTIFY_SEND_RAW_DATA.
struct THTTP_FILTER_RAW_DATA {
  void* pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
};

// The entry points of an ISAPI library, as a host resolves them.
using TGetExtensionVersionProc = BOOL (*)(THSE_VERSION_INFO* pVer);
using THttpExtensionProcProc = DWORD (*)(TEXTENSION_CONTROL_BLOCK* pECB);
using TTerminateExtensionProc = BOOL (*)(DWORD dwFlags);
using TGetFilterVersionProc = BOOL (*)(THTTP_FILTER_VERSION* pVer);
using THttpFilterProcProc = DWORD (*)(THTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                      void* pvNotification);

}  // namespace vantora
