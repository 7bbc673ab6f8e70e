// The statistics module's link to the request being served: the request
// values it reads through the engine's free routines.
#include "app/VantoraStat.h"
#include "engine/HttpEng.h"

namespace vantora {
namespace {

// A missing variable or field may come back as the sentinel: it reads as empty.
std::string Plain(const std::string& value) {
  return value == kNotAvailable ? std::string() : value;
}

}  // namespace

void TSiteStatistic::RecordHit() {
  THitRequest request;
  request.user_agent = Plain(UserAgent());
  request.remote_addr = Plain(RemoteAddr());
  request.remote_host = Plain(RemoteHost());
  const std::string field = GetFormField("referer", "unknown");
  request.referer_field = field == kNotAvailable ? std::string("unknown") : field;
  request.referer = Plain(Referer());
  RecordHit(request);
}

std::string TSiteStatistic::ResolveHostName(const std::string& address) {
  return ResolveHostName(address, CurrentEngine() ? Plain(RemoteHost()) : std::string());
}

int TSiteStatistic::DisplayOffset() {
  TDisplayZoneInputs inputs;
  inputs.tz_override = TzOverride();
  inputs.standard_bias_minutes = StandardBiasMinutes();
  if (CurrentEngine()) {
    inputs.tz_field = Plain(GetFormField("TZ", ""));
    inputs.gmt_offset = Plain(GetVar("GMT_OFFSET"));
    inputs.tz_variable = Plain(GetVar("TZ"));
  }
  return ComputeDisplayOffset(inputs);
}

}  // namespace vantora
