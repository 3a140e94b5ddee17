// The text toolbox: trimming, quotes, splitting, integer parsing, prefix
// test. Strings are std::string; most operations look only
// at the text view, the bytes before the first NUL.
#ifndef QUARN_PLATFORM_STRINGS_H_
#define QUARN_PLATFORM_STRINGS_H_

#include <string>
#include <string_view>
#include <vector>

/// The bytes of `s` before its first NUL.
std::string_view TextView(const std::string& s);

/// White space of the POSIX locale: 0x09..0x0D and 0x20.
inline bool IsWhiteSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

/// Removes white space at the chosen ends of the text view.
void TrimSpaces(std::string& s, bool trimLeading, bool trimTrailing);
/// True when the text view is empty.
bool IsNullOrEmpty(const std::string& s);
/// True when one pair of enclosing double quotes was removed into `out`.
bool RemoveEnclosingQuotes(const std::string& in, std::string& out);
/// True when the text holds white space and is not already enclosed.
bool IsEnclosingQuotesNeeded(const std::string& s);
/// out = in, enclosed in double quotes always or only when needed.
void AddEnclosingQuotes(const std::string& in, std::string& out, bool onlyIfNeeded);
/// Splits at every separator; a trailing empty fragment is dropped.
/// 0; -1 for a null text.
[[nodiscard]] int SplitByToken(const char* text, char separator,
                               std::vector<std::string>& fragments);
/// Parses base 10 or 16 with an optional leading '-', wrapping at 32 bits.
/// -1 null text; -2 bad base; -3 bad hex digit; -4 bad decimal digit.
int ConvertStringToInt(const char* text, int base);
/// True when the text view of `s` begins with the text view of `prefix`.
bool StringStartsWith(const std::string& s, const std::string& prefix);
/// At most `maxBytes` of `text` fit for a terminal: bytes outside 0x20..0x7E
/// become '?', and a cut text ends in "...".
std::string PrintableText(std::string_view text, size_t maxBytes);
/// How much of a path or a daemon's text a line to the user quotes.
constexpr size_t kQuotedTextBytes = 200;

// The named interface: operations the design names that the program itself
// does not call (tests and other front ends may). Not on quarn's path.
/// Encloses the path in quotes when needed.
void SanitizePath(std::string& path);
/// Locale conversion to and from wide characters (mbstowcs / wcstombs).
void ConvertToWideString(const char* text, std::wstring& wide);
void ConvertToNarrowString(const wchar_t* wide, std::string& text);

#endif  // QUARN_PLATFORM_STRINGS_H_
