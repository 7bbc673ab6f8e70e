#include "engine/HttpEngMultipartFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "engine/HttpEngRandom.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

constexpr int kNameRange = 9000000;
constexpr int kCreateAttempts = 100;

bool KeepsInName(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

std::string UploadBaseName(const std::string& client_file_name) {
  const size_t slash = client_file_name.find_last_of("/\\");
  std::string base =
      slash == std::string::npos ? client_file_name : client_file_name.substr(slash + 1);
  const size_t dot = base.find('.');
  if (dot != std::string::npos) base.resize(dot);
  for (char& c : base) {
    if (!KeepsInName(c)) c = '_';
  }
  return base;
}

void UploadFile::Create(const std::string& temp_dir, const std::string& client_file_name) {
  Close();
  const std::string base = UploadBaseName(client_file_name);
  int error = 0;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const std::string name = std::to_string(RandomBelow(kNameRange)) + base;
    const std::string path = BuildFilePath(ModuleFileName(), temp_dir, name, "tmp");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      path_ = path;
      return;
    }
    error = errno;
    if (error != EEXIST) {
      throw std::runtime_error("Cannot create upload file " + path + ": " + std::strerror(error));
    }
  }
  throw std::runtime_error("Cannot create upload file in " + temp_dir + ": every name was taken");
}

void UploadFile::Write(const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd_, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw std::runtime_error("Cannot write upload file " + path_ + ": " +
                               std::strerror(n < 0 ? errno : EIO));
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
}

void UploadFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace vantora
