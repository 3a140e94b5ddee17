// Console I/O: the daemon's text to descriptors 1 and 2, lines and
// passwords from standard input.
#ifndef QUARN_PLATFORM_CONSOLE_H_
#define QUARN_PLATFORM_CONSOLE_H_

#include <string>

constexpr int kMaxConsoleRead = 32768;

/// Writes all of `text` (NUL bytes included) to standard output, straight
/// to the descriptor: no buffering, so the order against standard error and
/// a prompt before the read are kept.
void WriteToStdOut(const std::string& text);
/// The NUL-terminated text; null writes nothing.
void WriteToStdOut(const char* text);
void WriteToStdErr(const std::string& text);
void WriteToStdErr(const char* text);

/// Reads at most one line (the line feed kept) of at most `maxBytes` bytes
/// from standard input into `out`; with `echoOff` the terminal's echo is off
/// during the read and restored on every path, a fatal signal included.
/// `out` is empty when nothing was read, maxBytes is outside 1..32768, or
/// (with QUARN_TRANSCODE_UTF8) the UTF-8 conversion failed.
void ReadFromStdIn(std::string& out, int maxBytes, bool echoOff);

#endif  // QUARN_PLATFORM_CONSOLE_H_
