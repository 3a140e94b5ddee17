// The text toolbox and the trace formatter on arbitrary text.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/strings.h"
#include "trace/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = size / 2;
  std::string first = input.substr(0, split), second = input.substr(split);

  (void)ConvertStringToInt(first.c_str(), 10);
  (void)ConvertStringToInt(first.c_str(), 16);

  std::string trimmed = input;
  TrimSpaces(trimmed, true, true);
  if (trimmed.size() > input.size()) __builtin_trap();

  std::vector<std::string> fragments;
  (void)SplitByToken(input.c_str(), ':', fragments);

  std::string out;
  (void)RemoveEnclosingQuotes(input, out);
  AddEnclosingQuotes(input, out, true);
  (void)IsEnclosingQuotesNeeded(input);
  (void)StringStartsWith(first, second);

  std::string joined = first;
  (void)PathConcatenate(joined, second.c_str());
  std::string parent;
  (void)GetParentDirPath(input, parent);
  (void)IsPathAbsolute(input);

  // The trace formatter, through the call the program makes: every byte of
  // a text argument is written printable.
  static const std::string kTraceFile = [] {
    char pattern[] = "/tmp/quarn-fuzz-trace-XXXXXX";
    int fd = mkstemp(pattern);
    close(fd);
    setenv("QUARN_NATIVE_TRACE_ENABLE", "", 1);
    SetTraceFilePath(pattern);
    return std::string(pattern);
  }();
  if (truncate(kTraceFile.c_str(), 0) != 0) return 0;
  TraceMessage("%s", input.c_str());
  TraceMessage("fuzz %s %S %d %c %C %x %q %", first.c_str(), second.c_str(), static_cast<int>(size),
               size ? data[0] : 0, size ? data[size - 1] : 0, static_cast<int>(size));
  int fd = open(kTraceFile.c_str(), O_RDONLY | O_CLOEXEC);
  char line[1 << 16];
  ssize_t n = read(fd, line, sizeof(line));
  close(fd);
  const ssize_t kTimestamp = 27;  // "YYYY.MM.DD_hh.mm.ss.mmm" and four spaces
  for (ssize_t i = kTimestamp; i < n && line[i] != '\n'; ++i) {
    if (static_cast<unsigned char>(line[i]) < 0x20 || static_cast<unsigned char>(line[i]) > 0x7E) {
      __builtin_trap();
    }
  }
  return 0;
}
