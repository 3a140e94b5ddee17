// The text toolbox and the trace formatter on arbitrary text.
#include <cstddef>
#include <cstdint>
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

  std::string line;
  PrintString(line, input.c_str());
  for (char c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) __builtin_trap();
  }
  std::string body;
  FormatTraceBody(body, "fuzz %s %S %d %c %C %x %q %", first.c_str(), second.c_str(),
                  static_cast<int>(size), size ? data[0] : 0, size ? data[size - 1] : 0,
                  static_cast<int>(size));
  return 0;
}
