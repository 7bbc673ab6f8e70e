// Fuzz target for the template filters: any bytes as a template, filtered
// line by line and as one piece, with and without condition handlers.  The
// filter must neither crash nor leave its condition state out of bounds.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/HUtilsFilter.h"
#include "engine/HttpEng.h"
#include "support/FakeEngine.h"

namespace {

// Long inputs only slow the search down; the windows are covered by tests.
constexpr size_t kMaxInput = 1 << 16;

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantora;
  if (size == 0 || size > kMaxInput) return 0;
  static bool once = [] {
    // Keep the per-tag log lines out of the working directory.
    setenv("CGI_LOG_DIR", "/tmp/vantora_filter_fuzz_log", 0);
    return true;
  }();
  (void)once;

  const uint8_t options = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  FakeEngine engine;
  engine.SetAutoHttpHeader(false);
  engine.missing_value = kNotAvailable;
  engine.variables = {{"VAR", "<v&'\">"}};
  engine.request_data = "field=%3Cf%3E";
  engine.MakeCurrent();

  THttpMemoFilter filter(nullptr, "FuzzFilter");
  if (options & 1) {
    filter.OnHttpEntry = [](const std::string& name, bool& handled) {
      if (name.size() % 2) handled = false;
    };
  }
  if (options & 2) {
    filter.OnHttpLogicalEntry = [options](const std::string& name, bool& value) {
      value = ((name.size() + options) % 3) == 0;
    };
  }

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  filter.SetText(lines);
  filter.Execute();
  filter.FilterText(text);

  const ConditionStack& stack = CurrentConditionStack();
  Check(stack.level >= 0);
  // Outside every block the output is on: only a block switches it off.
  Check(stack.level > 0 || stack.Active(0));
  CurrentRequestState().engine = nullptr;
  return 0;
}
