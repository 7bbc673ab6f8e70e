// THttpCookie: reads one named cookie of the present request and sets or
// deletes it in the response, optionally scrambling its value with a numeric
// key so that the stored cookie is not plain text.
//
// Every call works on the request served by the calling thread (through
// CurrentEngine()); calling SetCookie, DeleteCookie or GetCookieValue on a
// thread without a current engine throws std::logic_error.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Component.h"
#include "platform/DateTime.h"

namespace vantora {

class THttpCookie : public TComponent {
 public:
  // A new cookie component is named after itself: CookieName starts as the
  // component's name.
  explicit THttpCookie(TComponent* owner, std::string name = std::string());

  // Published properties.
  const std::string& CookieName() const { return cookie_name_; }
  void SetCookieName(std::string value) { cookie_name_ = std::move(value); }
  // Domain attribute; not sent when empty.
  const std::string& Domain() const { return domain_; }
  void SetDomain(std::string value) { domain_ = std::move(value); }
  // Path attribute; "/" when empty.
  const std::string& Path() const { return path_; }
  void SetPath(std::string value) { path_ = std::move(value); }
  bool Secure() const { return secure_; }
  void SetSecure(bool value) { secure_ = value; }
  // Scramble the value with CodeKey (ScrambleText) when set.
  bool Coded() const { return coded_; }
  void SetCoded(bool value) { coded_ = value; }
  int32_t CodeKey() const { return code_key_; }
  void SetCodeKey(int32_t value) { code_key_ = value; }

  // Renames the component.  When CookieName is empty in design mode, or
  // equals the previous component name ignoring case, it follows the new
  // name, so a cookie stays named after its component until another cookie
  // name is set.  (Hides TComponent::SetName; call it on a THttpCookie.)
  void SetName(std::string name);
  // Whether the component is being edited in a designer rather than run.
  // Only affects the rename rule above.
  bool DesignMode() const { return design_mode_; }
  void SetDesignMode(bool value) { design_mode_ = value; }

  // Sends a "set-cookie" header line with this value and expiry (local
  // time).  The expiry is left out (a session cookie) when it lies within
  // 20 seconds of the present moment.  Nothing is sent when CookieName is
  // blank.  Writes back Domain and Path trimmed (an empty Path becomes "/").
  // Must be called before the first page text is written: the header line
  // goes out at once.
  void SetCookie(const std::string& value, TDateTime expires);
  // Sets the cookie to an empty value that expired seven days ago.
  void DeleteCookie();
  // The cookie's value in the present request (url-decoded, unscrambled
  // when Coded), or default_value when the request does not carry it or
  // carries it empty.
  std::string GetCookieValue(const std::string& default_value);

  // The url-decoded value of the first pair in pairs ("name=value&...")
  // whose url-decoded name equals name ignoring case and surrounding
  // blanks; empty when there is none.  A piece without "=" (a cookie sent
  // without a value) is skipped.
  static std::string FindCookieField(const std::string& name, const std::string& pairs);

 private:
  std::string cookie_name_;
  std::string domain_;
  std::string path_;
  // Held while SetCookie trims Domain and Path in place: the component is
  // shared by every thread that serves a request.
  std::mutex settings_mutex_;
  bool secure_ = false;
  bool coded_ = false;
  int32_t code_key_ = 0;
  bool design_mode_ = false;
};

// The obfuscation of cookie values: byte pairs swapped from the end, each
// byte combined with the key and its position and rotated.  Unscramble undoes
// Scramble for the same key.  Not a protection: the key is a plain property.
std::string ScrambleText(const std::string& text, int32_t key);
std::string UnscrambleText(const std::string& text, int32_t key);

}  // namespace vantora
