// Runs one CGI program many times, the way a web server does (environment,
// empty standard input, standard output read to its end), from a number of
// concurrent clients, and prints the whole-request times.
//
//   vantora_cgi_load PROGRAM QUERY CLIENTS REQUESTS
//
// Each request is a distinct visitor (its own user agent).  Prints one line:
// "median_ms p90_ms p99_ms max_ms over50 failed", where over50 counts the
// requests that took 50 ms or more and failed those that answered nothing
// or ended with another exit code than 0.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// One request: returns its time in milliseconds, or -1 when it failed.
double RunOnce(const std::string& program, const std::vector<std::string>& env) {
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  size_t bytes = 0;
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) bytes += static_cast<size_t>(n);
  close(out[0]);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (bytes == 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PROGRAM QUERY CLIENTS REQUESTS\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const std::string query = argv[2];
  const int clients = std::max(1, std::atoi(argv[3]));
  const int requests = std::max(1, std::atoi(argv[4]));
  std::vector<std::string> base;
  for (char** entry = environ; *entry; ++entry) base.push_back(*entry);
  base.push_back("QUERY_STRING=" + query);

  std::atomic<int> next{0};
  std::vector<double> times(static_cast<size_t>(requests), -1);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < requests;) {
        std::vector<std::string> env = base;
        env.push_back("HTTP_USER_AGENT=load-visitor-" + std::to_string(getpid()) + "-" +
                      std::to_string(i));
        times[static_cast<size_t>(i)] = RunOnce(program, env);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  int failed = 0;
  std::vector<double> ok;
  for (double t : times) {
    if (t < 0) {
      ++failed;
    } else {
      ok.push_back(t);
    }
  }
  std::sort(ok.begin(), ok.end());
  auto at = [&](double q) {
    return ok.empty() ? 0.0 : ok[static_cast<size_t>(q * (ok.size() - 1))];
  };
  const long over50 = std::count_if(ok.begin(), ok.end(), [](double t) { return t >= 50; });
  std::printf("%.3f %.3f %.3f %.3f %ld %d\n", at(0.5), at(0.9), at(0.99),
              ok.empty() ? 0 : ok.back(), over50, failed);
  return failed == 0 ? 0 : 1;
}
