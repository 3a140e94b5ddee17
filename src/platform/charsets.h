// The locale's character set, and conversions between it and UTF-8.
#ifndef QUARN_PLATFORM_CHARSETS_H_
#define QUARN_PLATFORM_CHARSETS_H_

#include <string>
#include <string_view>

/// Sets `out` to the locale's character-set name (LC_CTYPE from the
/// environment); returns out's text.
const char* GetCurrentCharset(std::string& out);
/// Identical to GetCurrentCharset.
const char* GetCurrentConsoleCharset(std::string& out);

/// The transcoding switch: QUARN_TRANSCODE_UTF8 defined (any value) sends
/// the texts to the daemon, and console input, as UTF-8.
bool TranscodeToUtf8();
/// True when every byte of `text` is below 0x80.
bool IsAscii(std::string_view text);

/// Console character set to UTF-8 into `out` (six bytes of room per input
/// byte, NUL padded). 0 converted; -1 converter unavailable, empty result, or
/// the input stopped converting before its end (out keeps what converted).
[[nodiscard]] int ConvertStringToUtf8(const char* text, std::string& out);
/// UTF-8 to the console character set (16 bytes of room per input byte).
/// Codes as ConvertStringToUtf8.
[[nodiscard]] int ConvertUtf8ToString(const char* text, std::string& out);

/// ConvertUtf8ToString for many texts in a row, with one converter.
class Utf8Decoder {
 public:
  Utf8Decoder() = default;
  ~Utf8Decoder();
  Utf8Decoder(const Utf8Decoder&) = delete;
  Utf8Decoder& operator=(const Utf8Decoder&) = delete;
  [[nodiscard]] int Convert(const char* text, std::string& out);

 private:
  bool opened_ = false;
  void* converter_ = nullptr;  // an iconv_t; null when none could be opened
};

#endif  // QUARN_PLATFORM_CHARSETS_H_
