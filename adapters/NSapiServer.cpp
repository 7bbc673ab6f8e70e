#include "adapters/NSapiServer.h"

#include <dlfcn.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace vantora {

const char* const kNsServerFunctionNames[kNsFunctionCount] = {
    "system_version",
    "MAGNUS_VERSION",
    "system_version_set",
    "magnus_atrestart",
    "system_free",
    "sem_init",
    "sem_terminate",
    "sem_grab",
    "sem_tgrab",
    "sem_release",
    "crit_init",
    "crit_enter",
    "crit_exit",
    "crit_terminate",
    "net_socket",
    "net_getsockopt",
    "net_setsockopt",
    "net_listen",
    "net_create_listener",
    "net_select",
    "net_connect",
    "net_ioctl",
    "net_getpeername",
    "net_close",
    "net_bind",
    "net_accept",
    "net_read",
    "net_write",
    "net_isalive",
    "net_ip2host",
    "netbuf_open",
    "netbuf_next",
    "netbuf_close",
    "netbuf_grap",
    "netbuf_buf2sd",
    "param_create",
    "param_free",
    "pblock_create",
    "pblock_free",
    "pblock_findval",
    "pblock_nvinsert",
    "pblock_nninsert",
    "pblock_pinsert",
    "pblock_str2pblock",
    "pblock_pblock2str",
    "pblock_copy",
    "pblock_dup",
    "_pblock_fr",
    "pblock_pb2env",
    "request_create",
    "request_free",
    "request_restart_internal",
    "request_header",
    "request_stat_path",
    "request_handle",
    "request_handle",
    "request_handle",
    "request_translate_uri",
    "http_find_request",
    "protocol_parse_request",
    "http_parse_request",
    "protocol_scan_headers",
    "protocol_start_response",
    "http_start_response",
    "http_hdrs2env",
    "protocol_status",
    "http_status",
    "protocol_set_finfo",
    "http_set_finfo",
    "protocol_finish_request",
    "http_finish_request",
    "protocol_handle_session",
    "http_handle_session",
    "protocol_uri2url",
    "protocol_uri2url_dynamic",
    "http_uri2url",
    "http_uri2url_dynamic",
    "protocol_set_keepalive_timeout",
    "http_set_keepalive_timeout",
    "http_dump82",
    "func_init",
    "func_find",
    "func_exec",
    "func_insert",
    "NSstr2String",
    "ereport_init",
    "ereport_terminate",
    "ereport_getfd",
};

namespace {

// One load's result.  Immutable once published.
struct FunctionTable {
  std::string library_name;
  void* entries[kNsFunctionCount] = {};
};

// Serialises loads.  Tables are never freed: a request thread may still hold
// the previous one while a new one is published, and a process loads at most
// a handful of times.
std::mutex& LoadMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::unique_ptr<FunctionTable>>& AllTables() {
  static std::vector<std::unique_ptr<FunctionTable>> tables;
  return tables;
}
std::atomic<const FunctionTable*> current_table{nullptr};
// Guarded by LoadMutex().
TLibraryOpener& DefaultOpener() {
  static TLibraryOpener opener;
  return opener;
}

// The name as exported, else with "INT" in front; null when neither is.
void* Resolve(void* library, const std::string& name) {
  if (void* address = ::dlsym(library, name.c_str())) return address;
  return ::dlsym(library, ("INT" + name).c_str());
}

}  // namespace

const std::vector<std::string>& ServerLibraryCandidates() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const char* base : {"libns-httpd40.so", "libns-httpd30.so", "libns-httpd20.so"}) {
      list.emplace_back(base);
      list.push_back(std::string("/usr/lib/") + base);
    }
    return list;
  }();
  return names;
}

TLibraryOpener SetServerLibraryOpener(TLibraryOpener open) {
  std::lock_guard<std::mutex> lock(LoadMutex());
  TLibraryOpener previous = std::move(DefaultOpener());
  DefaultOpener() = std::move(open);
  return previous;
}

std::string LoadServerLibrary(const TLibraryOpener& given) {
  std::lock_guard<std::mutex> lock(LoadMutex());
  const TLibraryOpener& open = given ? given : DefaultOpener();
  auto table = std::make_unique<FunctionTable>();
  void* library = nullptr;
  for (const std::string& name : ServerLibraryCandidates()) {
    library = open ? open(name) : nullptr;
    if (library != nullptr) {
      table->library_name = name;
      break;
    }
  }
  if (library != nullptr) {
    for (int i = 0; i < kNsFunctionCount; ++i) {
      table->entries[i] = Resolve(library, kNsServerFunctionNames[i]);
    }
    void*& fr = table->entries[static_cast<int>(NsFunction::pblock_fr)];
    if (fr == nullptr) fr = Resolve(library, "pblock_fr");
  }
  // The library handle stays open for the life of the process: its
  // functions are in the table.
  current_table.store(table.get(), std::memory_order_release);
  AllTables().push_back(std::move(table));
  return current_table.load(std::memory_order_relaxed)->library_name;
}

void* ServerFunctionAddress(NsFunction function) {
  const FunctionTable* table = current_table.load(std::memory_order_acquire);
  const int index = static_cast<int>(function);
  if (table == nullptr || index < 0 || index >= kNsFunctionCount) return nullptr;
  return table->entries[index];
}

std::string ServerLibraryName() {
  const FunctionTable* table = current_table.load(std::memory_order_acquire);
  return table ? table->library_name : std::string();
}

}  // namespace vantora
