// Prints the reverse lookup (getnameinfo with NI_NAMEREQD) of each address
// given on the command line, one line each: the name, or "-" when there is
// none.  Linked like the vantora executable, so a test can check that the
// reverse lookup works in that kind of binary.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, argv[i], &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      length = sizeof *v4;
    } else if (inet_pton(AF_INET6, argv[i], &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      length = sizeof *v6;
    }
    char host[NI_MAXHOST] = "";
    const bool found = length != 0 && getnameinfo(reinterpret_cast<sockaddr*>(&address), length,
                                                  host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0;
    std::printf("%s\n", found ? host : "-");
  }
  return 0;
}
