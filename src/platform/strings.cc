#include "platform/strings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "trace/trace.h"

std::string_view TextView(const std::string& s) {
  return std::string_view(s.c_str(), std::strlen(s.c_str()));
}

void TrimSpaces(std::string& s, bool trimLeading, bool trimTrailing) {
  if (s.empty()) return;
  if (trimLeading) {
    size_t text_length = TextView(s).size();
    size_t count = 0;
    while (count < text_length && IsWhiteSpace(static_cast<unsigned char>(s[count]))) ++count;
    s.erase(0, count);
  }
  if (trimTrailing) {
    size_t text_length = TextView(s).size();
    if (text_length == 0) return;
    size_t end = text_length;  // one past the last non-space byte
    while (end > 0 && IsWhiteSpace(static_cast<unsigned char>(s[end - 1]))) --end;
    if (end < text_length) s.erase(end);
  }
}

bool IsNullOrEmpty(const std::string& s) { return s.c_str()[0] == '\0'; }

bool RemoveEnclosingQuotes(const std::string& in, std::string& out) {
  std::string_view text = TextView(in);
  if (text.empty()) return false;
  out = in;
  bool starts = text.front() == '"';
  bool ends = text.back() == '"';
  if (starts && ends) {
    out.erase(0, 1);
    size_t remaining = TextView(out).size();
    if (remaining > 0) out.erase(remaining - 1);
    return true;
  }
  if (starts) {
    TraceMessage(
        "WARNING: RemoveEnclosingQuotes(): No ending quotes, only starting quotes found; %S",
        in.c_str());
    return false;
  }
  if (ends) {
    TraceMessage(
        "WARNING: RemoveEnclosingQuotes(): No starting quotes, only ending quotes found; %S",
        in.c_str());
    return false;
  }
  return false;
}

bool IsEnclosingQuotesNeeded(const std::string& s) {
  std::string scratch;
  if (RemoveEnclosingQuotes(s, scratch)) {
    TraceMessage("IsEnclosingQuotesNeeded(): Already inside quotes; returning false");
    return false;
  }
  for (char c : TextView(s)) {
    if (IsWhiteSpace(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

void AddEnclosingQuotes(const std::string& in, std::string& out, bool onlyIfNeeded) {
  if (onlyIfNeeded && !IsEnclosingQuotesNeeded(in)) {
    out = in;
    return;
  }
  std::string quoted;
  quoted.reserve(in.size() + 2);
  quoted.push_back('"');
  quoted.append(in);
  quoted.push_back('"');
  out = std::move(quoted);
}

void SanitizePath(std::string& path) {
  std::string quoted;
  AddEnclosingQuotes(path, quoted, true);
  path = std::move(quoted);
}

int SplitByToken(const char* text, char separator, std::vector<std::string>& fragments) {
  if (text == nullptr) return -1;
  fragments.clear();
  std::string current;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == separator) {
      fragments.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(*p);
    }
  }
  if (!current.empty()) fragments.push_back(std::move(current));
  return 0;
}

int ConvertStringToInt(const char* text, int base) {
  if (text == nullptr) return -1;
  if (base != 10 && base != 16) return -2;
  bool negative = false;
  if (*text == '-') {
    negative = true;
    ++text;
  }
  // Unsigned arithmetic: the value wraps at 32 bits by design.
  uint32_t value = 0;
  for (const char* p = text; *p != 0; ++p) {
    char c = *p;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return base == 16 ? -3 : -4;
    }
    value = value * static_cast<uint32_t>(base) + digit;
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

bool StringStartsWith(const std::string& s, const std::string& prefix) {
  std::string_view text = TextView(s);
  std::string_view start = TextView(prefix);
  return text.substr(0, start.size()) == start;
}

std::string PrintableText(std::string_view text, size_t maxBytes) {
  std::string out;
  for (char c : text.substr(0, maxBytes)) out.push_back(c >= 0x20 && c <= 0x7E ? c : '?');
  if (text.size() > maxBytes) out.append("...");
  return out;
}

void ConvertToWideString(const char* text, std::wstring& wide) {
  if (text == nullptr) return;
  wide.clear();
  size_t measured = std::mbstowcs(nullptr, text, 0);
  if (measured == static_cast<size_t>(-1) || measured == 0) return;
  std::wstring buffer(measured, L'\0');
  if (std::mbstowcs(&buffer[0], text, measured) == measured) wide = std::move(buffer);
}

void ConvertToNarrowString(const wchar_t* wide, std::string& text) {
  if (wide == nullptr) return;
  text.clear();
  size_t measured = std::wcstombs(nullptr, wide, 0);
  if (measured == static_cast<size_t>(-1) || measured == 0) return;
  std::string buffer(measured, '\0');
  if (std::wcstombs(&buffer[0], wide, measured) == measured) text = std::move(buffer);
}
