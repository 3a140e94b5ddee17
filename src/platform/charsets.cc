// The locale's character set and conversions between it and UTF-8.
#include "platform/charsets.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/strings.h"
#include "trace/trace.h"

namespace {

// The name depends only on the locale variables, which this program never
// changes; the registry converts every sandbox line, so remember the answer
// rather than switching the locale back and forth each time.
std::string LocaleKey() {
  std::string key;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    key.push_back(value ? '1' : '0');
    if (value) key.append(value);
    key.push_back('\0');
  }
  return key;
}

void QueryCharset(std::string& out) {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  std::string saved = current ? current : "C";
  std::setlocale(LC_CTYPE, "");
  out.assign(nl_langinfo(CODESET));
  std::setlocale(LC_CTYPE, saved.c_str());
}

// One conversion with an open converter, from its initial state.
int ConvertWith(iconv_t converter, size_t factor, const char* text, std::string& out) {
  size_t input_length = std::strlen(text);
  out.assign(input_length * factor, '\0');
  if (input_length == 0) return -1;  // nothing converted: an empty result
  (void)iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text);
  size_t in_left = input_length;
  char* dest = &out[0];
  size_t out_left = out.size();
  size_t converted = iconv(converter, &in, &in_left, &dest, &out_left);
  // A conversion that stopped early (invalid or incomplete input) would hand
  // a truncated text to callers that cannot tell; report it.
  bool stopped_early = converted == static_cast<size_t>(-1) || in_left != 0;
  return stopped_early ? -1 : 0;
}

iconv_t OpenConverter(const char* function, const char* from, const char* to) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    std::string line = std::string("ERROR: ") + function + "(): Error opening converter; ec = %d";
    TraceMessage(line.c_str(), errno);
  }
  return converter;
}

int Convert(const char* function, const char* from, const char* to, size_t factor, const char* text,
            std::string& out) {
  iconv_t converter = OpenConverter(function, from, to);
  if (converter == reinterpret_cast<iconv_t>(-1)) return -1;
  int result = ConvertWith(converter, factor, text, out);
  iconv_close(converter);
  return result;
}

constexpr size_t kFromUtf8Factor = 16;

}  // namespace

const char* GetCurrentCharset(std::string& out) {
  static std::string cached_key;
  static std::string cached_name;
  static bool cached = false;
  std::string key = LocaleKey();
  if (!cached || key != cached_key) {
    QueryCharset(cached_name);
    cached_key = std::move(key);
    cached = true;
  }
  out = cached_name;
  return out.c_str();
}

const char* GetCurrentConsoleCharset(std::string& out) { return GetCurrentCharset(out); }

int ConvertStringToUtf8(const char* text, std::string& out) {
  std::string charset;
  GetCurrentConsoleCharset(charset);
  return Convert("ConvertStringToUtf8", charset.c_str(), "UTF-8", 6, text, out);
}

int ConvertUtf8ToString(const char* text, std::string& out) {
  std::string charset;
  GetCurrentConsoleCharset(charset);
  return Convert("ConvertUtf8ToString", "UTF-8", charset.c_str(), kFromUtf8Factor, text, out);
}

Utf8Decoder::~Utf8Decoder() {
  if (converter_ != nullptr) iconv_close(static_cast<iconv_t>(converter_));
}

int Utf8Decoder::Convert(const char* text, std::string& out) {
  if (!opened_) {  // on first use: a run that never converts loads no converter
    opened_ = true;
    std::string charset;
    GetCurrentConsoleCharset(charset);
    iconv_t converter = OpenConverter("ConvertUtf8ToString", "UTF-8", charset.c_str());
    if (converter != reinterpret_cast<iconv_t>(-1)) converter_ = converter;
  }
  if (converter_ == nullptr) {
    out.assign(std::strlen(text) * kFromUtf8Factor, '\0');
    return -1;
  }
  return ConvertWith(static_cast<iconv_t>(converter_), kFromUtf8Factor, text, out);
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool TranscodeToUtf8() { return std::getenv("QUARN_TRANSCODE_UTF8") != nullptr; }
