// Console I/O: the daemon's text to descriptors 1 and 2, lines and
// passwords from standard input, and quarn's own messages to the user.
#ifndef QUARN_PLATFORM_CONSOLE_H_
#define QUARN_PLATFORM_CONSOLE_H_

#include <string>
#include <string_view>

constexpr int kMaxConsoleRead = 32768;

/// Writes all of `text` (NUL bytes included) to standard output, straight
/// to the descriptor: no buffering, so the order against standard error and
/// a prompt before the read are kept. A full non-blocking descriptor is
/// waited for. 0 written; -1 the write failed (errno tells why).
int WriteToStdOut(std::string_view text);
/// The NUL-terminated text; null writes nothing.
int WriteToStdOut(const char* text);
int WriteToStdErr(std::string_view text);
int WriteToStdErr(const char* text);

/// What a secret shows as in the trace file, whatever it is.
constexpr char kSecretMask[] = "********";

/// Every message quarn itself gives the user: one line "quarn: <text>" on
/// standard error.
void ReportToUser(const std::string& text);

/// Once a line of console input did not convert, the daemon has been told
/// that input ended: for the rest of the process, re-runs included, it
/// stays ended and nothing more is read as input.
bool ConsoleInputEnded();
void EndConsoleInput();

/// What ReadConsole found.
enum class ConsoleResult {
  kRead,          // `out` holds the input (empty: end of input or a read error)
  kNotConverted,  // QUARN_TRANSCODE_UTF8 is set and the input did not convert
  kWatchEnded,    // `watchFd` reached its end or an error first; nothing read
  kPromptFailed,  // the prompt could not be written (errno tells why); nothing read
};

/// ReadFromStdIn for the command exchange: `prompt` (null: none) goes to
/// standard output once echo is off, so nothing typed after it shows; while
/// no input is there it also watches `watchFd` (-1: none) for its end; a
/// `secret` never reaches the trace in clear.
ConsoleResult ReadConsole(std::string& out, int maxBytes, bool echoOff, int watchFd, bool secret,
                          const std::string* prompt = nullptr);

// The named interface: operations the design names that the program itself
// does not call (tests and other front ends may). Not on quarn's path.
/// Reads at most one line (the line feed kept) of at most `maxBytes` bytes
/// from standard input into `out`; with `echoOff` the terminal's echo is off
/// during the read and restored on every path, a fatal signal included.
/// `out` is empty when nothing was read, maxBytes is outside 1..32768, or
/// (with QUARN_TRANSCODE_UTF8) the UTF-8 conversion failed.
void ReadFromStdIn(std::string& out, int maxBytes, bool echoOff);

#endif  // QUARN_PLATFORM_CONSOLE_H_
