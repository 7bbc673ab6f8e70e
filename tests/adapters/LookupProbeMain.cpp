// Prints the program's own reverse lookup (the system resolver of
// platform/Resolver.h: the hosts file, then the name servers of resolv.conf)
// of each address given on the command line, one line each: the name, or "-"
// when there is none.  Linked like the vantora executable, so a test can
// check that lookups in that kind of binary find what the system finds.
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/Resolver.h"

int main(int argc, char** argv) {
  const std::shared_ptr<vantora::Resolver> resolver = vantora::SystemResolver();
  for (int i = 1; i < argc; ++i) {
    const std::string name =
        vantora::LookupWithDeadline(resolver, argv[i], std::chrono::milliseconds(5000))
            .value_or(std::string());
    std::printf("%s\n", name.empty() ? "-" : name.c_str());
  }
  return 0;
}
