// The command description: app, args, environment, cwd, preamble-done.
#include <sys/socket.h>

#include <cstring>

#include "protocol/protocol.h"
#include "trace/trace.h"

namespace {

// The description goes out as many small messages and the daemon answers
// only after "preamble-done": let the kernel pack them into few segments.
constexpr int kMore = MSG_MORE;

}  // namespace

int WriteSubCommandDescription(int* socket, int argCount, const std::vector<std::string>& args,
                               const std::vector<std::string>& environment, const char* cwd) {
  TraceMessage("----------------------------SEND SUBCOMMAND---------------------------------");
  if (socket == nullptr || cwd == nullptr || *socket < 0) return -1;
  if (environment.empty()) {
    TraceMessage("WARNING: WriteSubCommandDescription(): No environment variables to send");
  }
  std::string_view app = "quarn";
  if (WriteMessageFields(socket, "app", "%s", &app, 1, kMore) != 0) {
    TraceMessage("ERROR: WriteSubCommandDescription(): Error while writing message app name");
    return -2;
  }
  for (int i = 0; i < argCount && static_cast<size_t>(i) < args.size(); ++i) {
    std::string_view arg(args[i].c_str());
    if (WriteMessageFields(socket, "arg", "%s", &arg, 1, kMore) != 0) {
      TraceMessage("ERROR: WriteSubCommandDescription(): Error while writing message argument %s",
                   args[i].c_str());
      return -3;
    }
  }
  for (size_t index = 0; index < environment.size(); ++index) {
    const char* entry = environment[index].c_str();
    int length = static_cast<int>(std::strlen(entry));
    const char* equals = std::strchr(entry, '=');
    int offset = equals ? static_cast<int>(equals - entry) : -1;
    TraceMessage("WriteSubCommandDescription(): Env # = %d; Env = %s; len = %d; offset = %d",
                 static_cast<int>(index), entry, length, offset);
    std::string_view pair[2];
    if (offset > 0) {
      pair[0] = std::string_view(entry, static_cast<size_t>(offset));
      pair[1] = std::string_view(entry + offset + 1);
    }
    std::string name(pair[0]), value(pair[1]);
    TraceMessage("WriteSubCommandDescription(): key = %s; val = %s", name.c_str(), value.c_str());
    if (WriteMessageFields(socket, "env", "%s%s", pair, 2, kMore) != 0) {
      TraceMessage(
          "ERROR: WriteSubCommandDescription(): Error while writing message environment variable "
          "pair %s, %s",
          name.c_str(), value.c_str());
      return -4;
    }
  }
  std::string_view cwd_text(cwd);
  if (WriteMessageFields(socket, "cwd", "%s", &cwd_text, 1, kMore) != 0) {
    TraceMessage("ERROR: WriteSubCommandDescription(): Error while writing cwd");
    return -5;
  }
  if (WriteMessageFields(socket, "preamble-done", "", nullptr, 0) != 0) return -6;
  return 0;
}
