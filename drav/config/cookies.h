// DRAVCookie and DRAVCookies: a cookie string ("a=1; b=2") as an ordered
// set of names and values, and back. Only name=value pairs: no attributes
// (path, expiry, ...), no quoting or escaping, no cookie store.
//
// Parsing: entries are split at ";"; blanks (0x20) after a ";" are separator
// padding and skipped, while blanks at the very start of the text belong to
// the first name; the name ends at the first "="; an entry without "=" is a
// name with an empty value. Entries whose name is empty (";;", a trailing
// "; ", "=x") carry nothing a cookie store could hold and are dropped. The
// first value seen for a name stays. A set survives DRAVCookies(c.toString())
// unchanged, except a name beginning with a blank that does not come first
// in name order (the blank then reads as padding).
#pragma once

#include <drav/export.h>

#include <map>
#include <string>

class DRAV_EXPORT DRAVCookie {
public:
  DRAVCookie(const std::string& name = "", const std::string& value = "")
      : name_(name), value_(value) {}

  const std::string& name() const { return name_; }  // valid while the cookie lives
  const std::string& value() const { return value_; }

private:
  std::string name_;
  std::string value_;
};

class DRAV_EXPORT DRAVCookies {
public:
  // Name to value, ordered by byte-wise comparison of the names.
  using CookieMap = std::map<std::string, std::string>;

  DRAVCookies() = default;
  DRAVCookies(const std::string& text);  // parses text; never fails

  // Stores the cookie unless its name is present (an entry is never
  // replaced) or it cannot be written in a cookie string: empty name, a name
  // holding "=" or ";" or starting with a blank, a value holding ";"; those
  // are traced at Error. True when stored.
  bool addCookie(const DRAVCookie& cookie);

  const CookieMap& getCookies() const { return cookies_; }  // valid until the next change
  // Each entry in name order as name "=" value "; ", the last one included;
  // an empty set gives "".
  std::string toString() const;

private:
  void parse(const std::string& text);
  void insertCookie(const char* entry, std::size_t length);

  CookieMap cookies_;
};
