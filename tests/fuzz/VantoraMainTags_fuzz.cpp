// Fuzz target for the numbers of template tags and of the display zone: the
// arguments of report tags (ParseReportArgs), "TZ" tags followed by date and
// counter tags on the main form's tag handler, and the display offset from
// the request's "TZ" field, "GMT_OFFSET" and "TZ" variables.  The offset
// must stay within a day either way and every date must be a real one.
//
// Input: up to four texts separated by zero bytes: the tag's text after
// "TZ" (and after "COUNTRYSTAT"), the "TZ" field, "GMT_OFFSET", the "TZ"
// variable.

#include <cstdint>
#include <string>

#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "engine/HttpEng.h"
#include "fuzz/FuzzSupport.h"
#include "support/FakeEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantora;
  if (size > 4096) return 0;
  fuzz::Folder();
  static TSiteStatistic* module = new TSiteStatistic(nullptr);
  static TFormMain* form = new TFormMain(nullptr, /*load_engine=*/false);
  const auto parts = fuzz::SplitAtZeros<4>(data, size);

  const TReportArgs args = ParseReportArgs("COUNTRYSTAT" + parts[0]);
  (void)args;

  FakeEngine engine;
  engine.SetAutoHttpHeader(false);
  engine.request_data = "TZ=" + UrlEncode(parts[1]);
  engine.variables = {{"GMT_OFFSET", parts[2]}, {"TZ", parts[3]}};
  engine.MakeCurrent();
  SetStatsPending(true);
  SetTzOverride(kNoTzOverride);

  const int offset = module->DisplayOffset();
  fuzz::Check(offset >= -kMaxDisplayOffset && offset <= kMaxDisplayOffset);

  bool handled = true;
  form->HttpFileFilter1HttpEntry("TZ" + parts[0], handled);
  fuzz::Check(handled && engine.output().empty());
  const int zoned = module->DisplayOffset();
  fuzz::Check(zoned >= -kMaxDisplayOffset && zoned <= kMaxDisplayOffset);
  for (const char* tag : {"DATE", "HITS_TODAY", "AVG_30D", "TOP_30_DAY"}) {
    engine.ClearOutput();
    form->HttpFileFilter1HttpEntry(tag, handled);
    // A date of the years 1000 to 9999 (yyyy/mm/dd) or a plain number.
    const std::string& out = engine.output();
    fuzz::Check(!out.empty() && out[0] != '-');
  }
  engine.ClearOutput();
  form->HttpFileFilter1HttpEntry("DATE", handled);
  fuzz::Check(engine.output().size() == 10 && engine.output()[4] == '/');
  CurrentRequestState().engine = nullptr;
  fuzz::DropLog();
  return 0;
}
