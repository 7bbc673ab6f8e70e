// The NSAPI server library: found among the server's library names, loaded,
// and its functions resolved by name into a process-wide function table.
//
// Library names are tried in the order "libns-httpd40.so",
// "libns-httpd30.so", "libns-httpd20.so"; each first by its plain name
// (the dynamic loader's search, which also finds a library the server has
// loaded already) and then in "/usr/lib".  The first library that loads is
// used.  In it every name of kNsServerFunctionNames is resolved; a name that
// is not exported is tried again with "INT" in front, and "_pblock_fr" falls
// back to "pblock_fr" (and its "INT" form).  A name that cannot be resolved
// leaves its entry empty: callers check the entry before every call.
//
// The table is replaced as a whole by each load and never changed in place,
// so request threads read it without locks while another thread loads.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vantora {

// The server functions in the order they are resolved, as they are
// requested from the library.
enum class NsFunction : int {
  system_version,
  MAGNUS_VERSION,
  system_version_set,
  magnus_atrestart,
  system_free,
  sem_init,
  sem_terminate,
  sem_grab,
  sem_tgrab,
  sem_release,
  crit_init,
  crit_enter,
  crit_exit,
  crit_terminate,
  net_socket,
  net_getsockopt,
  net_setsockopt,
  net_listen,
  net_create_listener,
  net_select,
  net_connect,
  net_ioctl,
  net_getpeername,
  net_close,
  net_bind,
  net_accept,
  net_read,
  net_write,
  net_isalive,
  net_ip2host,
  netbuf_open,
  netbuf_next,
  netbuf_close,
  netbuf_grap,
  netbuf_buf2sd,
  param_create,
  param_free,
  pblock_create,
  pblock_free,
  pblock_findval,
  pblock_nvinsert,
  pblock_nninsert,
  pblock_pinsert,
  pblock_str2pblock,
  pblock_pblock2str,
  pblock_copy,
  pblock_dup,
  pblock_fr,  // requested as "_pblock_fr", else "pblock_fr"
  pblock_pb2env,
  request_create,
  request_free,
  request_restart_internal,
  request_header,
  request_stat_path,
  request_handle,
  request_handle_2,  // the name "request_handle" has three entries
  request_handle_3,
  request_translate_uri,
  http_find_request,
  protocol_parse_request,
  http_parse_request,
  protocol_scan_headers,
  protocol_start_response,
  http_start_response,
  http_hdrs2env,
  protocol_status,
  http_status,
  protocol_set_finfo,
  http_set_finfo,
  protocol_finish_request,
  http_finish_request,
  protocol_handle_session,
  http_handle_session,
  protocol_uri2url,
  protocol_uri2url_dynamic,
  http_uri2url,
  http_uri2url_dynamic,
  protocol_set_keepalive_timeout,
  http_set_keepalive_timeout,
  http_dump82,
  func_init,
  func_find,
  func_exec,
  func_insert,
  NSstr2String,
  ereport_init,
  ereport_terminate,
  ereport_getfd,
  kCount
};

inline constexpr int kNsFunctionCount = static_cast<int>(NsFunction::kCount);

// The name each entry is requested by, indexed by NsFunction.
extern const char* const kNsServerFunctionNames[kNsFunctionCount];

// Opens a library by the name given (a plain name or a path) and returns its
// handle for dlsym, or null.  LoadServerLibrary's seam for tests.
using TLibraryOpener = std::function<void*(const std::string& name)>;

// Sets the opener that loads without one of their own use; returns the
// previous one.  Until one is set nothing can be loaded: the library build
// sets OpenWithDynamicLoader (adapters/NSapi_exports.cpp), so that the
// executable, which never serves through NSAPI, carries no dynamic loading.
TLibraryOpener SetServerLibraryOpener(TLibraryOpener open);

// dlopen of the name, its functions bound at once.  The handle is never
// closed: the server library lives as long as the process.
void* OpenWithDynamicLoader(const std::string& name);
// SetServerLibraryOpener(&OpenWithDynamicLoader).
void UseDynamicLoaderForServerLibrary();

// The names LoadServerLibrary tries, in order.
const std::vector<std::string>& ServerLibraryCandidates();

// Loads the server library (through open, else the opener set last) and
// replaces the function table with its functions; with no library, with an
// empty table.  Returns the name the library was loaded by, or empty when none loaded.  Errors are
// not raised. Safe to call from any thread; concurrent loads run one after another.
std::string LoadServerLibrary(const TLibraryOpener& open = TLibraryOpener());

// The resolved address of the function, or null when the library or the
// name is missing.
void* ServerFunctionAddress(NsFunction function);

// The resolved function cast to its signature (see adapters/NSapiDefs.h),
// or null.
template <typename F>
F ServerFunction(NsFunction function) {
  return reinterpret_cast<F>(ServerFunctionAddress(function));
}

// The name the present table's library was loaded by; empty when none.
std::string ServerLibraryName();

}  // namespace vantora
