// The FastCGI adapter's socket rules: what "--fastcgi ADDRESS" listens on, a
// stale socket replaced, a live one or a plain file refused.  The adapter
// itself is tested behind real web servers (FastCgiWebServer_test.cpp).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "adapters/FastCgiEng.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

// A socket bound to path; listening when listen is set.
int BoundUnixSocket(const std::string& path, bool listening) {
  const int handle = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  EXPECT_EQ(bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  if (listening) {
    EXPECT_EQ(listen(handle, 4), 0);
  }
  return handle;
}

TEST(FastCgiSocket, ListensOnAUnixSocketAndReplacesAStaleOne) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/vantora.sock";
  // A socket file left behind by a process that ended: nobody accepts on it.
  close(BoundUnixSocket(path, false));

  std::string error;
  const int handle = OpenFastCgiSocket(path, &error);
  ASSERT_GE(handle, 0) << error;
  EXPECT_TRUE(IsListeningSocket(handle));
  close(handle);
}

TEST(FastCgiSocket, RefusesWhatItMustNotTakeOver) {
  ScopedTempDir dir;
  const std::string live = dir.path() + "/live.sock";
  const int other = BoundUnixSocket(live, true);
  const std::string plain = dir.path() + "/plain";
  ASSERT_TRUE(WriteWholeFile(plain, "statistics"));

  struct Case {
    std::string address;
    std::string reason;
  };
  for (const Case& c : {Case{live, "another program serves"}, Case{plain, "is not a socket"},
                        Case{"127.0.0.1:notaport", "cannot use the address"},
                        Case{dir.path() + "/" + std::string(200, 'x'), "too long"}}) {
    std::string error;
    EXPECT_EQ(OpenFastCgiSocket(c.address, &error), -1) << c.address;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.address << ": " << error;
  }
  // Nothing was removed or replaced.
  EXPECT_EQ(ReadWholeFile(plain), "statistics");
  EXPECT_TRUE(IsListeningSocket(other));
  close(other);
}

TEST(FastCgiSocket, ListensOnALoopbackPort) {
  std::string error;
  const int handle = OpenFastCgiSocket("127.0.0.1:0", &error);
  ASSERT_GE(handle, 0) << error;
  EXPECT_TRUE(IsListeningSocket(handle));
  close(handle);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  EXPECT_FALSE(IsListeningSocket(pipe_ends[0]));
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

}  // namespace
}  // namespace vantora
