// A fresh copy of libvantora.so in a folder of its own, and the requests the
// library tests and benchmarks send it.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/VantoraStatFiles.h"
#include "support/IsapiHost.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"

namespace vantora {

// A counting request from address.  REMOTE_HOST "127.0.0.1" stands for a
// server that has no name for the visitor, so no reverse lookup leaves the
// machine.
inline IsapiRequest CountingRequest(const std::string& address) {
  IsapiRequest request;
  request.query = "STAT";
  request.variables = {{"REMOTE_ADDR", address},
                       {"REMOTE_HOST", "127.0.0.1"},
                       {"HTTP_USER_AGENT", "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0"},
                       {"HTTP_REFERER", "http://www.example.org/page.html"},
                       {"SERVER_SOFTWARE", "Vantora ISAPI test host"},
                       {"SCRIPT_NAME", "/scripts/libvantora.so"}};
  return request;
}

// Any other page of the program: query is the query string.
inline IsapiRequest PageRequest(const std::string& query) {
  IsapiRequest request = CountingRequest("192.0.2.99");
  request.query = query;
  return request;
}

// The hits of every hour record of an hourly file.
inline long TotalHits(const std::string& path) {
  long total = 0;
  ForEachHourRecord(path, [&](const THourRecord& record) { total += record.Hits; });
  return total;
}

// A folder holding a fresh copy of the library, its log kept beside it.
class IsapiLibraryFolder {
 public:
  explicit IsapiLibraryFolder(const std::string& subfolder = std::string())
      : log_dir_("CGI_LOG_DIR", std::nullopt),
        folder_(subfolder.empty() ? dir_.path() : dir_.path() + "/" + subfolder),
        library_(VANTORA_LIBRARY, Prepare(folder_)) {}

  IsapiLibrary& library() { return library_; }
  const std::string& folder() const { return folder_; }
  std::string File(const std::string& extension) const {
    return folder_ + "/libvantora" + extension;
  }
  std::string Log() const {
    std::ifstream in(folder_ + "/Log/libvantora.Log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  static const std::string& Prepare(const std::string& folder) {
    std::filesystem::create_directories(folder);
    return folder;
  }

  ScopedTempDir dir_;
  ScopedEnv log_dir_;
  std::string folder_;
  IsapiLibrary library_;
};

}  // namespace vantora
