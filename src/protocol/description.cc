// The command description: app, args, environment, cwd, preamble-done.
#include "platform/strings.h"
#include "protocol/protocol.h"
#include "trace/trace.h"

int WriteSubCommandDescription(int* socket, int argCount, const std::vector<std::string>& args,
                               const std::vector<std::string>& environment, const char* cwd) {
  TraceMessage("----------------------------SEND SUBCOMMAND---------------------------------");
  if (socket == nullptr || cwd == nullptr || *socket < 0) return -1;
  if (environment.empty()) {
    TraceMessage("WARNING: WriteSubCommandDescription(): No environment variables to send");
  }
  // The daemon answers only after "preamble-done": the messages go out
  // together, in one send rather than one per message.
  MessageBatch description;
  std::string_view app = "quarn";
  description.Add(kTypeApp, "%s", &app, 1);
  for (int i = 0; i < argCount && static_cast<size_t>(i) < args.size(); ++i) {
    std::string_view arg(args[i].c_str());
    description.Add(kTypeArg, "%s", &arg, 1);
  }
  // The name and value are copied only for the trace: a large environment
  // costs nothing more when tracing is off.
  bool tracing = TraceEnabled();
  for (size_t index = 0; index < environment.size(); ++index) {
    std::string_view entry = TextView(environment[index]);
    size_t equals = entry.find('=');
    std::string_view pair[2];
    if (equals != std::string_view::npos && equals > 0) {
      pair[0] = entry.substr(0, equals);
      pair[1] = entry.substr(equals + 1);
    }
    if (tracing) {
      int offset = equals == std::string_view::npos ? -1 : static_cast<int>(equals);
      TraceMessage("WriteSubCommandDescription(): Env # = %d; Env = %s; len = %d; offset = %d",
                   static_cast<int>(index), environment[index].c_str(),
                   static_cast<int>(entry.size()), offset);
      TraceMessage("WriteSubCommandDescription(): key = %s; val = %s", std::string(pair[0]).c_str(),
                   std::string(pair[1]).c_str());
    }
    description.Add(kTypeEnv, "%s%s", pair, 2);
  }
  std::string_view cwd_text(cwd);
  description.Add(kTypeCwd, "%s", &cwd_text, 1);
  description.Add(kTypePreambleDone, "", nullptr, 0);
  if (description.Send(socket) != 0) {
    TraceMessage("ERROR: WriteSubCommandDescription(): Error while writing message app name");
    return -2;
  }
  return 0;
}
