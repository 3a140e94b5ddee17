#include "bench.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#if __has_include(<sys/vfs.h>)
#include <sys/vfs.h>  // Linux: a file system is known by its magic number
#define QUARN_BENCH_FS_MAGIC 1
#else
#include <sys/mount.h>
#define QUARN_BENCH_FS_MAGIC 0
#endif
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/processes.h"

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Run Exec(const std::vector<std::string>& argv, const std::string& in, const std::string& out,
         const std::vector<std::string>& extra_env) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The whole environment is made here, not with putenv in the child: a
  // thousand putenv calls there cost milliseconds the command would be
  // charged for.
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const std::string& e : extra_env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int in_fd = open(in.c_str(), O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(null_fd, 2);
    for (int fd = 3; fd < 256; ++fd) close(fd);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  Run run;
  run.seconds = Now() - start;
  run.max_rss_kb = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  Stats s;
  if (v.empty()) return s;
  s.min = v.front();
  s.max = v.back();
  size_t n = v.size();
  s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  return s;
}

Stats InMs(const Stats& seconds) {
  return {seconds.median * 1e3, seconds.min * 1e3, seconds.max * 1e3};
}

void Bench::Add(Row row) {
  std::printf("%-44s %10.4g %10.4g %10.4g %-6s ref %10.4g  ratio %6.3f  target %-22s %s\n",
              row.name.c_str(), row.value.median, row.value.min, row.value.max, row.unit.c_str(),
              row.reference, row.ratio, row.target.c_str(),
              !row.checked ? "report"
              : row.met    ? "MET"
                           : "MISSED");
  std::fflush(stdout);
  rows.push_back(row);
}

void Bench::AddRss(const std::string& name, double mib) {
  Add({"peak RSS, " + name,
       "MiB",
       {mib, mib, mib},
       4,
       mib / 4,
       "<= 4 MiB",
       !config.smoke,
       mib <= 4});
}

std::vector<std::string> Bench::Quarn(const std::string& dir,
                                      std::vector<std::string> command) const {
  std::vector<std::string> args = {config.quarn, "--config", dir};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

std::string Bench::Record(const std::vector<std::string>& command,
                          const std::vector<std::string>& extra, const std::string& name,
                          const std::string& with_key, const std::string& dir) const {
  std::string file = config.work + "/" + name + ".request";
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) std::abort();
  std::vector<std::string> args = {config.floor, "record", file, with_key, cwd, "--config", dir};
  args.insert(args.end(), command.begin(), command.end());
  Exec(args, "/dev/null", "/dev/null", extra);
  return file;
}

void Bench::Alternate(int pairs, const std::vector<std::string>& a,
                      const std::vector<std::string>& b, std::vector<double>* ta,
                      std::vector<double>* tb, const std::vector<std::string>& env_a,
                      const std::vector<std::string>& env_b, std::vector<long>* rss_a, int pace_us,
                      bool warm_up) const {
  if (warm_up) {
    Exec(a, "/dev/null", "/dev/null", env_a);
    Exec(b, "/dev/null", "/dev/null", env_b);
  }
  auto pause = [pace_us] {
    if (pace_us > 0) usleep(static_cast<useconds_t>(pace_us));
  };
  for (int i = 0; i < pairs; ++i) {
    pause();
    Run ra = Exec(a, "/dev/null", "/dev/null", env_a);
    pause();
    Run rb = Exec(b, "/dev/null", "/dev/null", env_b);
    if (ra.status != 0 || rb.status != 0) {
      std::fprintf(stderr, "bench: a command failed (%d, %d): %s\n", ra.status, rb.status,
                   a.back().c_str());
    }
    ta->push_back(ra.seconds);
    tb->push_back(rb.seconds);
    if (rss_a) rss_a->push_back(ra.max_rss_kb);
  }
}

std::vector<std::string> EntryNames(const std::string& registry) {
  std::vector<std::string> names;
  if (DIR* d = opendir(registry.c_str())) {
    while (dirent* e = readdir(d)) {
      struct stat info;
      std::string path = registry + "/" + e->d_name;
      if (e->d_name[0] != '.' && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        names.push_back(e->d_name);
      }
    }
    closedir(d);
  }
  return names;
}

bool DaemonOf(const std::string& config, int* port, std::string* key) {
  static const char digits[] = "0123456789ABCDEF";
  for (const std::string& name : EntryNames(config + "/daemons")) {
    std::ifstream f(config + "/daemons/" + name + "/location", std::ios::binary);
    unsigned char record[20];
    if (!f.read(reinterpret_cast<char*>(record), 20)) continue;
    std::ifstream props(config + "/daemons/" + name + "/daemon.properties");
    std::string text((std::istreambuf_iterator<char>(props)), std::istreambuf_iterator<char>());
    if (text.find("pid: ") == std::string::npos) continue;  // not a real daemon
    *port = (record[0] << 24) | (record[1] << 16) | (record[2] << 8) | record[3];
    key->clear();
    for (int i = 4; i < 20; ++i) *key += {digits[record[i] >> 4], digits[record[i] & 15]};
    return true;
  }
  return false;
}

void StopDaemons(const std::string& config) {
  for (const std::string& name : EntryNames(config + "/daemons")) {
    std::ifstream props(config + "/daemons/" + name + "/daemon.properties");
    std::string line;
    while (std::getline(props, line)) {
      if (line.rfind("pid: ", 0) == 0) kill(std::atoi(line.c_str() + 5), SIGTERM);
    }
  }
  for (int i = 0; i < 200 && !EntryNames(config + "/daemons").empty(); ++i) usleep(10000);
}

namespace {

// Every process's arguments: from /proc where there is one, else from ps
// (split at spaces: the bench's paths have none).
std::vector<std::vector<std::string>> ProcessArguments() {
  std::vector<std::vector<std::string>> all;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* e = readdir(proc)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::ifstream f(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
      std::string cmdline((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      std::vector<std::string>& args = all.emplace_back();
      size_t start = 0;
      for (size_t end; (end = cmdline.find('\0', start)) != std::string::npos; start = end + 1) {
        args.push_back(cmdline.substr(start, end - start));
      }
    }
    closedir(proc);
    return all;
  }
  std::istringstream table(OutputOf("ps -A -o args="));
  for (std::string line; std::getline(table, line);) {
    std::istringstream words(line);
    std::vector<std::string>& args = all.emplace_back();
    for (std::string word; words >> word;) args.push_back(word);
  }
  return all;
}

}  // namespace

int CountDaemons(const std::string& config) {
  int count = 0;
  for (const std::vector<std::string>& args : ProcessArguments()) {
    bool trel =
        !args.empty() && args[0].size() >= 4 && args[0].compare(args[0].size() - 4, 4, "trel") == 0;
    for (size_t i = 1; trel && i + 1 < args.size(); ++i) {
      if (args[i] == "--config" && args[i + 1] == config) ++count;
    }
  }
  return count;
}

double TrelReadyTime(const Config& config, const std::string& work, double* floor_first) {
  std::vector<double> times, firsts;
  int runs = config.smoke ? 2 : 10;
  for (int i = 0; i < runs; ++i) {
    std::string dir = work + "/ready" + std::to_string(i);
    int out[2];
    if (pipe(out) != 0) std::abort();
    double start = Now();
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(config.trel.c_str(), config.trel.c_str(), "--config", dir.c_str(), "daemon", "start",
            "--connection-timeout", "120000", "--inactive-timeout", "60000", nullptr);
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while (text.find("Key: ") == std::string::npos || text.back() != '\n') {
      n = read(out[0], buffer, sizeof(buffer));
      if (n <= 0) break;
      text.append(buffer, n);
    }
    times.push_back(Now() - start);
    close(out[0]);
    if (floor_first != nullptr) {
      // The floor's first command on this daemon, its request recorded
      // first with the daemon's key.
      size_t port_at = text.find("Port: "), key_at = text.find("Key: ");
      std::string port = text.substr(port_at + 6, text.find('\n', port_at) - port_at - 6);
      std::string key = text.substr(key_at + 5, text.find('\n', key_at) - key_at - 5);
      std::string request = work + "/first.request";
      char cwd[4096];
      if (getcwd(cwd, sizeof(cwd)) == nullptr) std::abort();
      Exec({config.floor, "record", request, key, cwd, "--config", dir, "echo", "hi"});
      firsts.push_back(Exec({config.floor, "run", port, request}).seconds);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  if (floor_first != nullptr) *floor_first = Summarise(firsts).median;
  return Summarise(times).median;
}

double ProtocolCost(const Config& config, const std::string& work, int count, int pace_us) {
  std::string registry = work + "/protocol-cost";
  std::string out = work + "/protocol-cost.txt";
  Exec({config.floor, "protocol", registry, std::to_string(count), std::to_string(pace_us)},
       "/dev/null", out);
  std::ifstream result(out);
  double us = -1;
  result >> us;
  return us / 1e6;
}

std::string FileSystemOf(const std::string& dir) {
  struct statfs info;
  if (statfs(dir.c_str(), &info) != 0) return "unknown";
#if !QUARN_BENCH_FS_MAGIC
  return info.f_fstypename;  // the BSDs and macOS name it
#else
  switch (static_cast<unsigned long>(info.f_type)) {
  case 0xEF53:
    return "ext4";
  case 0x01021994:
    return "tmpfs";
  case 0x58465342:
    return "xfs";
  case 0x9123683E:
    return "btrfs";
  default:
    return "fs 0x" + [&] {
      char hex[32];
      std::snprintf(hex, sizeof(hex), "%lx", static_cast<unsigned long>(info.f_type));
      return std::string(hex);
    }();
  }
#endif
}

int CountRecvCalls(const Config& config, const std::string& dir, long long bytes) {
  std::string trace = config.work + "/strace.txt";
  Exec({"/usr/bin/strace", "-c", "-f", "-o", trace, config.quarn, "--config", dir, "flood",
        std::to_string(bytes)});
  std::ifstream f(trace);
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    std::string w;
    while (fields >> w) words.push_back(w);
    if (!words.empty() && (words.back() == "recvfrom" || words.back() == "recvmsg")) {
      // columns: % time, seconds, usecs/call, calls, [errors,] syscall
      return std::atoi(words[3].c_str());
    }
  }
  return -1;
}

std::vector<double> ConcurrentLoops(int loops, int count, double seconds,
                                    const std::vector<std::string>& argv) {
  int report[2];
  if (pipe(report) != 0) std::abort();
  std::vector<pid_t> pids;
  for (int i = 0; i < loops; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      double end = Now() + seconds;
      for (int k = 0; count > 0 ? k < count : Now() < end; ++k) {
        Run run = Exec(argv);
        double took = run.status == 0 ? run.seconds : -1;
        if (write(report[1], &took, sizeof(took)) != sizeof(took)) _exit(1);
      }
      _exit(0);
    }
    pids.push_back(pid);
  }
  close(report[1]);
  std::vector<double> durations;
  double took;
  while (read(report[0], &took, sizeof(took)) == sizeof(took)) {
    if (took < 0) std::fprintf(stderr, "bench: a command failed: %s\n", argv.back().c_str());
    durations.push_back(took);
  }
  close(report[0]);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  return durations;
}

void WriteJson(const Bench& bench) {
  std::ofstream out(bench.config.json);
  out << "{\n  \"smoke\": " << (bench.config.smoke ? "true" : "false") << ",\n  \"rows\": [\n";
  for (size_t i = 0; i < bench.rows.size(); ++i) {
    const Row& r = bench.rows[i];
    out << "    {\"name\": \"" << r.name << "\", \"unit\": \"" << r.unit
        << "\", \"median\": " << r.value.median << ", \"min\": " << r.value.min
        << ", \"max\": " << r.value.max << ", \"reference\": " << r.reference
        << ", \"ratio\": " << r.ratio << ", \"target\": \"" << r.target
        << "\", \"checked\": " << (r.checked ? "true" : "false")
        << ", \"met\": " << (r.met ? "true" : "false") << "}"
        << (i + 1 < bench.rows.size() ? "," : "") << "\n";
  }
  out << "  ]\n}\n";
}
