// A recording process for the statistics tests: records hits of distinct
// visitors into the statistics files of a given program path, the way many
// CGI processes do at the same time.
//
//   vantora_stat_helper <program path> <process number> <hits> <unix time> [shared]
//
// Hit i comes from address 10.<process>.<i / 256>.<i % 256> at unix time +
// i / 4 seconds.  With "shared" every helper records the same visitors, each
// in its own order: hit i comes from 10.0.<j / 256>.<j % 256> with
// j = (i + 37 * process) mod hits, so the helpers repeat each other's.  After each recorded hit one
// character goes to standard output, so the test knows which hits were complete when it killed the
// process: '.' for a stored visitor, 'd' for a hit counted while the visitor
// file stayed held (the visitor not stored), 'r' for a repeat.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/VantoraStat.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Resolver.h"

int main(int argc, char** argv) {
  using namespace vantora;
  const bool shared = argc == 6 && std::string(argv[5]) == "shared";
  if (argc != 5 && !shared) {
    std::fprintf(stderr, "usage: %s <program path> <process number> <hits> <unix time> [shared]\n",
                 argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const int process = std::atoi(argv[2]);
  const int hits = std::atoi(argv[3]);
  const double start = std::atof(argv[4]);
  SetModuleFileNameForTesting(program);
  TSiteStatistic module(nullptr);
  module.SetResolver(std::make_shared<FakeResolver>("h.example"));
  try {
    for (int i = 0; i < hits; ++i) {
      SetFakeUnixTime(start + i / 4.0);
      THitRequest request;
      const int visitor = shared ? (i + 37 * process) % hits : i;
      request.remote_addr = "10." + std::to_string(shared ? 0 : process) + "." +
                            std::to_string(visitor / 256) + "." + std::to_string(visitor % 256);
      request.remote_host = request.remote_addr;
      request.user_agent = "Helper/1";
      request.referer = "http://site.example/";
      const TVisitorAppend result = module.RecordHit(request);
      const char mark = result == TVisitorAppend::kStored    ? '.'
                        : result == TVisitorAppend::kDropped ? 'd'
                                                             : 'r';
      if (write(STDOUT_FILENO, &mark, 1) != 1) return 4;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "recording failed: %s\n", error.what());
    return 3;
  }
  return 0;
}
