#include "engine/HUtilsCookie.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "engine/HttpEng.h"
#include "platform/Text.h"

namespace vantora {

namespace {

// Blanks and control characters around a text.

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return UpperCase(a) == UpperCase(b);
}

THttpEngine& RequireEngine() {
  THttpEngine* engine = CurrentEngine();
  if (!engine) throw std::logic_error("No request engine serves this thread");
  return *engine;
}

// Rotations within one byte.
uint8_t RotateRight(uint8_t value, int places) {
  places &= 7;
  if (places == 0) return value;
  return static_cast<uint8_t>((value >> places) | (value << (8 - places)));
}
uint8_t RotateLeft(uint8_t value, int places) {
  places &= 7;
  if (places == 0) return value;
  return static_cast<uint8_t>((value << places) | (value >> (8 - places)));
}

// The byte combined with position i (1-based): the low 8 bits of key + i.
uint8_t PositionMask(int32_t key, size_t i) {
  return static_cast<uint8_t>((static_cast<uint32_t>(key) + static_cast<uint32_t>(i)) & 0xFF);
}

// The rotation of position i (1-based).
int PositionShift(int32_t key, size_t i) {
  const int64_t magnitude = std::llabs(static_cast<int64_t>(key));
  return static_cast<int>((static_cast<int64_t>(i) + magnitude % 2483) % 8);
}

// Swaps the pairs (n-1, n), (n-3, n-2), ... (1-based), n div 2 pairs; with an
// odd length the first byte stays.  Its own inverse.
void SwapPairsFromEnd(std::string& text) {
  for (size_t end = text.size(); end >= 2; end -= 2) {
    std::swap(text[end - 2], text[end - 1]);
  }
}

}  // namespace

std::string ScrambleText(const std::string& text, int32_t key) {
  std::string result = text;
  SwapPairsFromEnd(result);
  for (size_t i = 1; i <= result.size(); ++i) {
    uint8_t byte = static_cast<uint8_t>(result[i - 1]) ^ PositionMask(key, i);
    result[i - 1] = static_cast<char>(RotateRight(byte, PositionShift(key, i)));
  }
  return result;
}

std::string UnscrambleText(const std::string& text, int32_t key) {
  std::string result = text;
  for (size_t i = 1; i <= result.size(); ++i) {
    uint8_t byte = RotateLeft(static_cast<uint8_t>(result[i - 1]), PositionShift(key, i));
    result[i - 1] = static_cast<char>(byte ^ PositionMask(key, i));
  }
  SwapPairsFromEnd(result);
  return result;
}

THttpCookie::THttpCookie(TComponent* owner, std::string name) : TComponent(owner, std::move(name)) {
  cookie_name_ = Name();
}

void THttpCookie::SetName(std::string name) {
  const bool follows_name =
      (design_mode_ && cookie_name_.empty()) || SameTextIgnoringCase(cookie_name_, Name());
  TComponent::SetName(std::move(name));
  if (follows_name) cookie_name_ = Name();
}

void THttpCookie::SetCookie(const std::string& value, TDateTime expires) {
  std::string coded = coded_ ? ScrambleText(value, code_key_) : value;
  coded = UrlEncode(coded);
  if (Trim(cookie_name_).empty()) return;
  std::string domain;
  std::string path;
  {
    // The component is shared by the threads that serve requests at once.
    std::lock_guard<std::mutex> lock(settings_mutex_);
    domain_ = Trim(domain_);
    path_ = Trim(path_);
    // (push_back: g++ 12 at -O3 reports a false -Wrestrict for = "/" here.)
    if (path_.empty()) path_.push_back('/');
    domain = domain_;
    path = path_;
  }

  std::string header = cookie_name_ + "=" + coded + ";";
  header += " Path=" + path + ";";
  if (!domain.empty()) header += " Domain=" + domain + ";";
  // An expiry within 20 seconds of now means "until the browser closes".
  constexpr double kSessionSlack = 20.0 / 86400.0;
  const bool has_expiry = std::fabs(expires - Now()) > kSessionSlack;
  if (has_expiry) header += " expires=" + HttpDate(expires);
  if (secure_) header += has_expiry ? "; secure" : " secure";
  RequireEngine().SendHeader("set-cookie", header);
}

void THttpCookie::DeleteCookie() { SetCookie(std::string(), Now() - 7); }

std::string THttpCookie::GetCookieValue(const std::string& default_value) {
  std::string text = RequireEngine().GetCookie();
  if (text == kNotAvailable) text.clear();
  if (UpperCase(text.substr(0, 7)) == "COOKIE=") text.erase(0, 7);
  for (char& c : text) {
    if (c == ';') c = '&';
  }
  text += "&";
  std::string value = FindCookieField(cookie_name_, text);
  if (value.empty()) return default_value;
  return coded_ ? UnscrambleText(value, code_key_) : value;
}

std::string THttpCookie::FindCookieField(const std::string& name, const std::string& pairs) {
  const std::string key = UpperCase(Trim(name));
  const std::string text = pairs + "&";
  size_t start = 0;
  while (start < text.size()) {
    const size_t equals = text.find('=', start);
    if (equals == std::string::npos) break;
    size_t value_end = text.find('&', equals + 1);
    if (value_end == std::string::npos) value_end = text.size();
    // A name begins after the last '&' before its '=': pieces without a
    // value in between ("flag&name=value") are skipped instead of being
    // taken as part of the next name.
    size_t name_begin = start;
    const size_t last_amp = text.rfind('&', equals);
    if (last_amp != std::string::npos && last_amp >= start) name_begin = last_amp + 1;
    const std::string piece_name = text.substr(name_begin, equals - name_begin);
    if (UpperCase(Trim(UrlDecode(piece_name))) == key) {
      return UrlDecode(text.substr(equals + 1, value_end - equals - 1));
    }
    start = value_end + 1;
  }
  return std::string();
}

}  // namespace vantora
