// Headless Debian Chromium for browser tests: one run on a fresh profile with
// the flags this closed machine needs (no background connections).
#pragma once

#include <string>
#include <vector>

#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {

inline constexpr char kChromium[] = "/usr/bin/chromium";

struct ChromiumRun {
  int exit_code = -1;
  std::string output;  // standard output (e.g. the DOM of --dump-dom)
  std::string errors;  // standard error
};

// Runs Chromium on url with one action argument (--screenshot=..., --dump-dom)
// in a window of the given size ("900,700"); `extra` flags come before the
// action (e.g. --host-resolver-rules=... for a second host name).
inline ChromiumRun RunHeadlessChromium(const std::string& window_size, const std::string& action,
                                       const std::string& url,
                                       const std::vector<std::string>& extra = {}) {
  ScopedTempDir profile;
  std::vector<std::string> argv = {kChromium,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + profile.path() + "/profile",
                                   "--window-size=" + window_size};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(action);
  argv.push_back(url);
  ChromiumRun run;
  run.exit_code = RunProgram(argv, profile.path() + "/stdout", profile.path() + "/stderr");
  run.output = ReadWholeFile(profile.path() + "/stdout");
  run.errors = ReadWholeFile(profile.path() + "/stderr");
  return run;
}

}  // namespace vantora
