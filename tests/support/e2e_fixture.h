// The fixture of the end-to-end tests: the real quarn binary against the
// reference daemon (or a fake), in a configuration directory of the test's
// own. Daemons that quarn starts outlive it; the test adopts them
// (subreaper) and stops them all at the end.
#ifndef QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_
#define QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

class QuarnE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    BecomeSubreaper();
    config_ = temp_.Sub("config");
    base_.set_env = {{"TREL_DAEMON_INACTIVE_TIME_OUT", "60000"}, {"LC_ALL", "C.UTF-8"}};
    base_.unset_env = {"QUARN_NATIVE_TRACE_ENABLE", "QUARN_TRANSCODE_UTF8", "TREL_DAEMON_PATH",
                       "TREL_CONFIG_DIRECTORY", "TREL_DAEMON_START_DEBUG"};
  }
  void TearDown() override { StopAllDaemons(); }

  ProcessResult Quarn(std::vector<std::string> args, ProcessOptions options) {
    args.insert(args.begin(), QUARN_BINARY);
    for (auto& e : base_.set_env) options.set_env.insert(options.set_env.begin(), e);
    for (auto& u : base_.unset_env) options.unset_env.push_back(u);
    ProcessResult result = RunProcess(args, options);
    ReapEnded();
    return result;
  }
  ProcessResult Quarn(std::vector<std::string> args) {
    args.insert(args.begin(), {"--config", config_});
    return Quarn(args, ProcessOptions());
  }
  int DaemonPid(std::vector<std::string> prefix = {}) {
    prefix.insert(prefix.end(), {"daemon", "status"});
    ProcessResult r = Quarn(prefix);
    std::smatch m;
    if (!std::regex_search(r.out, m, std::regex("pid: (\\d+)"))) return -1;
    return std::stoi(m[1]);
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    if (DIR* dir = opendir((config_ + "/daemons").c_str())) {
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Every process whose parent we are: the daemons we adopted.
  std::vector<pid_t> Children() {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    while (dirent* e = readdir(proc)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string line;
      std::getline(stat, line);
      size_t paren = line.rfind(')');
      if (paren == std::string::npos) continue;
      int ppid = 0;
      char state;
      if (sscanf(line.c_str() + paren + 2, "%c %d", &state, &ppid) == 2 && ppid == getpid()) {
        pids.push_back(atoi(e->d_name));
      }
    }
    closedir(proc);
    return pids;
  }
  void StopAllDaemons() {
    for (pid_t pid : Children()) kill(pid, SIGTERM);
    for (int i = 0; i < 300 && !Children().empty(); ++i) {
      ReapEnded();
      usleep(10000);
    }
    for (pid_t pid : Children()) kill(pid, SIGKILL);
    int status;
    while (waitpid(-1, &status, 0) > 0) {
    }
  }

  TempDir temp_;
  std::string config_;
  ProcessOptions base_;
};

#endif  // QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_
