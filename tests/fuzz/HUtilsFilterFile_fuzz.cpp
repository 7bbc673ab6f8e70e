// Fuzz target for the file filter: any bytes as a template file, read in
// blocks that are joined while a tag may run into the next block.  Text
// without tag delimiters must come out exactly as it went in (up to its first
// zero byte in each block), and the condition state must stay in bounds.
//
// Input: an options byte (handlers on or off), then the template file.

#include <cstdint>
#include <string>

#include "engine/HUtilsFilter.h"
#include "engine/HttpEng.h"
#include "fuzz/FuzzSupport.h"
#include "support/FakeEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantora;
  if (size == 0 || size > (1 << 16)) return 0;
  const std::string& folder = fuzz::Folder();
  const uint8_t options = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = folder + "/page.htm";
  fuzz::Check(fuzz::WriteFile(path, text));

  FakeEngine engine;
  engine.SetAutoHttpHeader(false);
  engine.missing_value = kNotAvailable;
  engine.variables = {{"VAR", "<v&'\">"}};
  engine.request_data = "field=%3Cf%3E";
  engine.MakeCurrent();
  CurrentConditionStack().Reset();

  THttpFileFilter filter(nullptr, "FuzzFileFilter");
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
  int opened = 0;
  filter.OnFileOpened = [&] { ++opened; };
  filter.SetFileName(path);
  filter.Execute();
  fuzz::Check(opened == 1);

  if (text.find_first_of(std::string("%#\0", 3)) == std::string::npos) {
    fuzz::Check(engine.output() == text);
  }
  const ConditionStack& stack = CurrentConditionStack();
  fuzz::Check(stack.level >= 0);
  fuzz::Check(stack.level > 0 || stack.Active(0));
  CurrentRequestState().engine = nullptr;
  fuzz::DropLog();
  return 0;
}
