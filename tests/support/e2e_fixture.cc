#include "support/e2e_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "platform/files.h"

ChildResult QuarnE2E::Quarn(std::vector<std::string> args, ChildOptions options,
                            const std::string& name) {
  bool named = std::find(args.begin(), args.end(), "--config") != args.end();
  for (const auto& variable : options.set_env) named |= variable.first == "TREL_CONFIG_DIRECTORY";
  if (!named) args.insert(args.begin(), {"--config", config_});
  args.insert(args.begin(), QUARN_BINARY);
  options.set_env.insert(options.set_env.begin(),
                         {{"TREL_DAEMON_INACTIVE_TIME_OUT", "60000"}, {"LC_ALL", "C.UTF-8"}});
  options.unset_env.insert(options.unset_env.end(),
                           {"QUARN_NATIVE_TRACE_ENABLE", "QUARN_TRANSCODE_UTF8", "TREL_DAEMON_PATH",
                            "TREL_CONFIG_DIRECTORY", "TREL_DAEMON_START_DEBUG"});
  return RunProgram(args, options, name);
}

int PidIn(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex("pid: (\\d+)")) ? std::stoi(m[1]) : -1;
}

std::vector<std::string> QuarnE2E::Entries() {
  std::vector<std::string> names;
  (void)ListFileSystemEntries(config_ + "/daemons", names, false);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<pid_t> QuarnE2E::Children() { return ChildProcesses(); }

void QuarnE2E::StopAllDaemons() {
  for (pid_t pid : Children()) kill(pid, SIGKILL);
  while (wait(nullptr) > 0) continue;
}
