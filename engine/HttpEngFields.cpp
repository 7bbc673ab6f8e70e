#include "engine/HttpEngFields.h"

#include <string_view>

#include "engine/HttpEngRoutines.h"
#include "platform/Text.h"

namespace vantora {
namespace {

// Removes leading and trailing characters with codes up to 32.
// True when the raw (still encoded) name, decoded, trimmed and upper-cased,
// equals wanted (upper case, trimmed).  Names without '%' or '+' decode to
// themselves and are compared in place, without copies.
bool NameMatches(std::string_view raw, const std::string& wanted) {
  if (raw.find_first_of("%+") != std::string_view::npos) {
    return UpperCase(Trim(UrlDecode(std::string(raw)))) == wanted;
  }
  size_t begin = 0;
  size_t end = raw.size();
  while (begin < end && static_cast<unsigned char>(raw[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(raw[end - 1]) <= ' ') --end;
  if (end - begin != wanted.size()) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    char c = raw[begin + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != wanted[i]) return false;
  }
  return true;
}

}  // namespace

std::string FindField(const std::string& data, const std::string& key,
                      const std::string& default_value) {
  const std::string wanted = UpperCase(Trim(key));
  const std::string_view text(data);
  std::string result;
  bool found = false;
  size_t pos = 0;
  while (pos < text.size()) {
    // The next '=' ends the name (a segment without '=' joins the next
    // name); the next '&' after it, or the end, ends the value.
    const size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) break;
    size_t amp = text.find('&', equals + 1);
    if (amp == std::string_view::npos) amp = text.size();
    if (NameMatches(text.substr(pos, equals - pos), wanted)) {
      if (found) result += "\r\n";
      result += Trim(UrlDecode(std::string(text.substr(equals + 1, amp - equals - 1))));
      found = true;
    }
    pos = amp + 1;
  }
  return found ? result : default_value;
}

std::vector<std::string> ListFieldNames(const std::string& data) {
  std::vector<std::string> names;
  const std::string_view text(data);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) amp = text.size();
    const std::string_view segment = text.substr(pos, amp - pos);
    const size_t equals = segment.find('=');
    if (equals != std::string_view::npos) {
      std::string name = UrlDecode(std::string(segment.substr(0, equals)));
      if (names.empty() || names.back() != name) names.push_back(std::move(name));
    }
    pos = amp + 1;
  }
  return names;
}

}  // namespace vantora
