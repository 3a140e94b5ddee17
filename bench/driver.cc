// The benchmark driver: runs quarn and the floor side by side against
// reference daemons in a directory of its own, alternating the two commands,
// and prints medians, ratios and targets (also as JSON).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Config {
  std::string quarn, trel, floor, work, json;
  bool smoke = false;
  std::string only;  // run only the measurements whose key contains this
};
Config g;

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Run {
  double seconds = 0;
  long max_rss_kb = 0;
  int status = -1;
};

// Runs argv with stdin from `in` (or /dev/null) and stdout to `out` (or
// /dev/null); extra environment entries appended.
Run Exec(const std::vector<std::string>& argv, const std::string& in = "/dev/null",
         const std::string& out = "/dev/null", const std::vector<std::string>& extra_env = {}) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
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
    for (const std::string& e : extra_env) putenv(const_cast<char*>(e.c_str()));
    execv(args[0], args.data());
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

struct Stats {
  double median = 0, min = 0, max = 0;
};

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

struct Row {
  std::string name, unit;
  Stats value;
  double reference = 0;  // the floor or budget the value is compared with
  double ratio = 0;
  std::string target;
  bool checked = false, met = true;
};
std::vector<Row> g_rows;

void AddRow(Row row) {
  std::printf("%-44s %10.4g %10.4g %10.4g %-6s ref %10.4g  ratio %6.3f  target %-22s %s\n",
              row.name.c_str(), row.value.median, row.value.min, row.value.max, row.unit.c_str(),
              row.reference, row.ratio, row.target.c_str(),
              !row.checked ? "report"
              : row.met    ? "MET"
                           : "MISSED");
  std::fflush(stdout);
  g_rows.push_back(row);
}

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

std::vector<std::string> Entries(const std::string& registry) {
  std::vector<std::string> names;
  if (DIR* d = opendir(registry.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.' && e->d_type == DT_DIR) names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Port and key of the daemon quarn started in `config`.
bool DaemonOf(const std::string& config, int* port, std::string* key) {
  for (const std::string& name : Entries(config + "/daemons")) {
    std::ifstream f(config + "/daemons/" + name + "/location", std::ios::binary);
    unsigned char record[20];
    if (!f.read(reinterpret_cast<char*>(record), 20)) continue;
    std::ifstream props(config + "/daemons/" + name + "/daemon.properties");
    std::string text((std::istreambuf_iterator<char>(props)), std::istreambuf_iterator<char>());
    if (text.find("pid: ") == std::string::npos) continue;  // not a real daemon
    *port = (record[0] << 24) | (record[1] << 16) | (record[2] << 8) | record[3];
    *key = Hex(record + 4, 16);
    return true;
  }
  return false;
}

void StopDaemons(const std::string& config) {
  for (const std::string& name : Entries(config + "/daemons")) {
    std::ifstream props(config + "/daemons/" + name + "/daemon.properties");
    std::string line;
    while (std::getline(props, line)) {
      if (line.rfind("pid: ", 0) == 0) kill(std::atoi(line.c_str() + 5), SIGTERM);
    }
  }
  for (int i = 0; i < 200 && !Entries(config + "/daemons").empty(); ++i) usleep(10000);
}

// Alternates quarn and floor commands; returns their per-run seconds.
void Alternate(int runs, const std::vector<std::string>& a, const std::vector<std::string>& b,
               std::vector<double>* ta, std::vector<double>* tb,
               const std::vector<std::string>& env_a = {},
               const std::vector<std::string>& env_b = {}, std::vector<long>* rss_a = nullptr) {
  Exec(a, "/dev/null", "/dev/null", env_a);  // warm-up
  Exec(b, "/dev/null", "/dev/null", env_b);
  for (int i = 0; i < runs; ++i) {
    Run ra = Exec(a, "/dev/null", "/dev/null", env_a);
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

std::vector<std::string> QuarnArgs(const std::string& config, std::vector<std::string> command) {
  std::vector<std::string> args = {g.quarn, "--config", config};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

// Records the floor's request for `command` with the environment `extra`.
std::string Record(const std::string& config, const std::string& key,
                   const std::vector<std::string>& command, const std::vector<std::string>& extra,
                   const std::string& name) {
  std::string file = g.work + "/" + name + ".request";
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) std::abort();
  std::vector<std::string> args = {g.floor, "record", file, key, cwd, "--config", config};
  args.insert(args.end(), command.begin(), command.end());
  Exec(args, "/dev/null", "/dev/null", extra);
  return file;
}

double TrelReadyTime() {
  // Start-to-ready: from exec to its "Key:" line.
  std::vector<double> times;
  int runs = g.smoke ? 2 : 10;
  for (int i = 0; i < runs; ++i) {
    std::string config = g.work + "/ready" + std::to_string(i);
    int out[2];
    if (pipe(out) != 0) std::abort();
    double start = Now();
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(g.trel.c_str(), g.trel.c_str(), "--config", config.c_str(), "daemon", "start",
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
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  return Summarise(times).median;
}

void WriteJson() {
  std::ofstream out(g.json);
  out << "{\n  \"smoke\": " << (g.smoke ? "true" : "false") << ",\n  \"rows\": [\n";
  for (size_t i = 0; i < g_rows.size(); ++i) {
    const Row& r = g_rows[i];
    out << "    {\"name\": \"" << r.name << "\", \"unit\": \"" << r.unit
        << "\", \"median\": " << r.value.median << ", \"min\": " << r.value.min
        << ", \"max\": " << r.value.max << ", \"reference\": " << r.reference
        << ", \"ratio\": " << r.ratio << ", \"target\": \"" << r.target
        << "\", \"checked\": " << (r.checked ? "true" : "false")
        << ", \"met\": " << (r.met ? "true" : "false") << "}" << (i + 1 < g_rows.size() ? "," : "")
        << "\n";
  }
  out << "  ]\n}\n";
}

bool Wants(const char* key) {
  return g.only.empty() || std::string(key).find(g.only) != std::string::npos;
}

int CountRecvCalls(const std::string& config, long long bytes) {
  std::string trace = g.work + "/strace.txt";
  Exec({"/usr/bin/strace", "-c", "-f", "-o", trace, g.quarn, "--config", config, "flood",
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

// A registry entry for port and key bytes 1..16, with an empty sandboxes
// file unless `sandboxes_size` makes it a sparse file of that size.
void WriteEntry(const std::string& dir, int port, long long sandboxes_size) {
  mkdir(dir.c_str(), 0700);
  std::string record = {static_cast<char>(port >> 24), static_cast<char>(port >> 16),
                        static_cast<char>(port >> 8), static_cast<char>(port)};
  for (int i = 1; i <= 16; ++i) record.push_back(static_cast<char>(i));
  std::ofstream(dir + "/location", std::ios::binary) << record;
  int fd = open((dir + "/sandboxes").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, sandboxes_size) != 0) std::abort();
  close(fd);
}

// A child that holds the alivelocks of `dirs` until killed.
pid_t HoldAlive(const std::vector<std::string>& dirs) {
  int ready[2];
  if (pipe(ready) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& dir : dirs) {
      int fd = open((dir + "/alivelock").c_str(), O_RDWR | O_CREAT, 0600);
      if (fd < 0 || lockf(fd, F_TLOCK, 0) != 0) _exit(3);
    }
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(4);
    pause();
    _exit(0);
  }
  char byte;
  if (read(ready[0], &byte, 1) != 1) std::abort();
  close(ready[0]);
  close(ready[1]);
  return pid;
}

// Writes all of `bytes` to `fd`; false when the peer stopped reading.
bool WriteFully(int fd, const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t w = write(fd, bytes + done, size - done);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// A scripted daemon, the only entry of `config`: to one command it answers
// with what `answer` writes to the connection, then hangs up.
pid_t ScriptedDaemon(const std::string& config, const std::function<bool(int fd)>& answer) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  mkdir(config.c_str(), 0700);
  mkdir((config + "/daemons").c_str(), 0700);
  std::string dir = config + "/daemons/field-daemon";
  WriteEntry(dir, ntohs(address.sin_port), 0);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_IGN);  // quarn may refuse what it is sent and hang up
    int fd = accept(listener, nullptr, nullptr);
    std::string got;
    char buffer[65536];
    auto read_until = [&](const char* end) {
      while (got.find(end) == std::string::npos) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) _exit(1);
        got.append(buffer, n);
      }
    };
    read_until("\r\n\r\n");
    std::string accept =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: vnd.dorvane.mellix.cli.minimal-1.0\r\n\r\n";
    if (write(fd, accept.data(), accept.size()) < 0) _exit(1);
    read_until("preamble-done.\n");
    bool whole = answer(fd);
    close(fd);
    _exit(whole ? 0 : 1);
  }
  close(listener);
  return pid;
}

// Writes `bytes` bytes of text, 1 MiB at a time.
bool WriteText(int fd, long long bytes, char fill) {
  std::string chunk(1 << 20, fill);
  for (long long sent = 0; sent < bytes; sent += static_cast<long long>(chunk.size())) {
    size_t n = static_cast<size_t>(std::min<long long>(bytes - sent, chunk.size()));
    if (!WriteFully(fd, chunk.data(), n)) return false;
  }
  return true;
}

// A single "stdout" message whose field is `bytes` bytes of text.
pid_t OneFieldDaemon(const std::string& config, long long bytes) {
  return ScriptedDaemon(config, [bytes](int fd) {
    std::string head = "stdout. \"", tail = "\"\nexit-code. \"\"\n";
    return WriteFully(fd, head.data(), head.size()) && WriteText(fd, bytes, 'x') &&
           WriteFully(fd, tail.data(), tail.size());
  });
}

// quarn's peak RSS in MiB against `answer`, the only daemon of a fresh
// configuration; `status` receives quarn's exit status.
double PeakRssAgainst(const std::string& name, const std::function<bool(int fd)>& answer,
                      int* status) {
  std::string config = g.work + "/config-" + name;
  pid_t daemon = ScriptedDaemon(config, answer);
  pid_t alive = HoldAlive({config + "/daemons/field-daemon"});
  Run run = Exec(QuarnArgs(config, {"anything"}));
  kill(alive, SIGKILL);
  waitpid(alive, nullptr, 0);
  waitpid(daemon, nullptr, 0);
  *status = run.status;
  return static_cast<double>(run.max_rss_kb) / 1024;
}

// Reference daemons running for `config` (their command line names it).
int CountDaemons(const std::string& config) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t end; (end = cmdline.find('\0', start)) != std::string::npos; start = end + 1) {
      args.push_back(cmdline.substr(start, end - start));
    }
    bool trel =
        !args.empty() && args[0].size() >= 4 && args[0].compare(args[0].size() - 4, 4, "trel") == 0;
    for (size_t i = 1; trel && i + 1 < args.size(); ++i) {
      if (args[i] == "--config" && args[i + 1] == config) ++count;
    }
  }
  closedir(proc);
  return count;
}

// Runs `loops` processes at once; each runs `argv` in a row, `count` times
// or, with count 0, for `seconds`. Every command's duration, in seconds.
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

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
    if (a == "--quarn")
      g.quarn = next();
    else if (a == "--trel")
      g.trel = next();
    else if (a == "--floor")
      g.floor = next();
    else if (a == "--work")
      g.work = next();
    else if (a == "--json")
      g.json = next();
    else if (a == "--smoke")
      g.smoke = true;
    else if (a == "--only")
      g.only = next();
  }
  if (g.quarn.empty() || g.trel.empty() || g.floor.empty() || g.work.empty()) {
    std::fprintf(stderr,
                 "usage: driver --quarn Q --trel T --floor F --work DIR --json FILE [--smoke]\n");
    return 2;
  }
  mkdir(g.work.c_str(), 0700);
  const int runs = g.smoke ? 3 : 21;
  const long long flood = g.smoke ? 10000000LL : 1000000000LL;
  std::vector<std::string> no_env;
  std::printf("%-44s %10s %10s %10s %-6s %14s %13s %-29s %s\n", "measurement", "median", "min",
              "max", "unit", "reference", "ratio", "target", "result");

  // Warm command.
  std::string c200 = g.work + "/config-200";
  std::string c1 = g.work + "/config-warm";
  Exec(QuarnArgs(c1, {"echo", "hi"}));
  int port = 0;
  std::string key;
  if (!DaemonOf(c1, &port, &key)) {
    std::fprintf(stderr, "bench: no daemon started\n");
    return 1;
  }
  std::string echo_request = Record(c1, key, {"echo", "hi"}, no_env, "echo");
  std::vector<std::string> floor_echo = {g.floor, "run", std::to_string(port), echo_request};
  std::vector<double> tq, tf;
  Alternate(runs, QuarnArgs(c1, {"echo", "hi"}), floor_echo, &tq, &tf);
  Stats warm = Summarise(tq), floor_warm = Summarise(tf);
  AddRow({"warm command (quarn echo hi)",
          "ms",
          {warm.median * 1e3, warm.min * 1e3, warm.max * 1e3},
          floor_warm.median * 1e3,
          warm.median / floor_warm.median,
          "<= 1.3 x floor",
          !g.smoke,
          warm.median / floor_warm.median <= 1.3});

  if (Wants("env")) {
    // Environment: 1000 extra variables, on both sides.
    std::vector<std::string> big_env;
    for (int i = 0; i < 1000; ++i) {
      big_env.push_back("BENCH_EXTRA_VARIABLE_" + std::to_string(i) + "=some value number " +
                        std::to_string(i));
    }
    tq.clear();
    tf.clear();
    Alternate(runs, QuarnArgs(c1, {"echo", "hi"}), QuarnArgs(c1, {"echo", "hi"}), &tq, &tf, big_env,
              no_env);
    Stats env_run = Summarise(tq);
    AddRow({"warm command, 1000 extra env variables",
            "ms",
            {env_run.median * 1e3, env_run.min * 1e3, env_run.max * 1e3},
            warm.median * 1e3,
            env_run.median / warm.median,
            "report",
            false,
            true});
  }

  if (Wants("cold")) {
    // Cold command.
    double ready = TrelReadyTime();
    std::vector<double> cold;
    for (int i = 0; i < (g.smoke ? 2 : 11); ++i) {
      std::string config = g.work + "/config-cold" + std::to_string(i);
      cold.push_back(Exec(QuarnArgs(config, {"echo", "hi"})).seconds);
      StopDaemons(config);
    }
    Stats cold_stats = Summarise(cold);
    double budget = ready + 2 * warm.median;
    AddRow({"cold command (no daemon running)",
            "ms",
            {cold_stats.median * 1e3, cold_stats.min * 1e3, cold_stats.max * 1e3},
            budget * 1e3,
            cold_stats.median / budget,
            "<= trel ready + 2 x warm",
            !g.smoke,
            cold_stats.median <= budget});
    // The same with a daemon that prints its key in lower case: its entry
    // is matched at once, not after the entry wait's whole bound.
    std::vector<double> lower;
    for (int i = 0; i < (g.smoke ? 2 : 11); ++i) {
      std::string config = g.work + "/config-cold-lower" + std::to_string(i);
      lower.push_back(Exec(QuarnArgs(config, {"echo", "hi"}), "/dev/null", "/dev/null",
                           {"TREL_REFERENCE_KEY_LOWER_CASE=1"})
                          .seconds);
      StopDaemons(config);
    }
    Stats lower_stats = Summarise(lower);
    AddRow({"cold command, key printed in lower case",
            "ms",
            {lower_stats.median * 1e3, lower_stats.min * 1e3, lower_stats.max * 1e3},
            budget * 1e3,
            lower_stats.median / budget,
            "<= trel ready + 2 x warm",
            !g.smoke,
            lower_stats.median <= budget});
    AddRow({"  trel start-to-ready",
            "ms",
            {ready * 1e3, ready * 1e3, ready * 1e3},
            0,
            0,
            "report",
            false,
            true});
  }

  if (Wants("concurrent")) {
    // Overlapping runs share one daemon: daemons left after 50 runs at once
    // on a fresh configuration, and after 4 loops of warm commands.
    int trials = g.smoke ? 1 : 3;
    int at_once = g.smoke ? 10 : 50;
    double loop_seconds = g.smoke ? 0.5 : 5;
    std::vector<double> fresh, looped;
    for (int t = 0; t < trials; ++t) {
      std::string config = g.work + "/config-overlap" + std::to_string(t);
      ConcurrentLoops(at_once, 1, 0, QuarnArgs(config, {"echo", "hi"}));
      fresh.push_back(CountDaemons(config));
      ConcurrentLoops(4, 0, loop_seconds, QuarnArgs(config, {"echo", "hi"}));
      looped.push_back(CountDaemons(config));
      StopDaemons(config);
    }
    Stats f = Summarise(fresh), l = Summarise(looped);
    AddRow({"daemons after " + std::to_string(at_once) + " runs at once (fresh)", "daemons", f, 1,
            f.max, "1 on each trial", !g.smoke, f.max == 1 && f.min == 1});
    AddRow({"daemons after 4 loops of warm commands", "daemons", l, 1, l.max, "1 on each trial",
            !g.smoke, l.max == 1 && l.min == 1});

    // Warm latency under load: 8 loops at once, quarn and the floor in turn.
    int per_loop = g.smoke ? 3 : 40;
    std::vector<double> loaded_q, loaded_f;
    for (int t = 0; t < (g.smoke ? 1 : 3); ++t) {
      for (double d : ConcurrentLoops(8, per_loop, 0, QuarnArgs(c1, {"echo", "hi"})))
        loaded_q.push_back(d);
      for (double d : ConcurrentLoops(8, per_loop, 0, floor_echo)) loaded_f.push_back(d);
    }
    Stats lq = Summarise(loaded_q), lf = Summarise(loaded_f);
    AddRow({"warm command, 8 loops at once (median)",
            "ms",
            {lq.median * 1e3, lq.min * 1e3, lq.max * 1e3},
            lf.median * 1e3,
            lq.median / lf.median,
            "<= 1.5 x floor",
            !g.smoke,
            lq.median / lf.median <= 1.5});
  }

  if (Wants("relay rss")) {
    // Output relay.
    std::string flood_request = Record(c1, key, {"flood", std::to_string(flood)}, no_env, "flood");
    std::vector<std::string> floor_flood = {g.floor, "run", std::to_string(port), flood_request};
    tq.clear();
    tf.clear();
    std::vector<long> rss_big;
    Alternate(g.smoke ? 2 : 9, QuarnArgs(c1, {"flood", std::to_string(flood)}), floor_flood, &tq,
              &tf, no_env, no_env, &rss_big);
    Stats relay = Summarise(tq), floor_relay = Summarise(tf);
    double mb = static_cast<double>(flood) / 1e6;
    double q_tput = mb / relay.median, f_tput = mb / floor_relay.median;
    AddRow({"output relay (flood to /dev/null)",
            "MB/s",
            {q_tput, mb / relay.max, mb / relay.min},
            f_tput,
            q_tput / f_tput,
            ">= 0.8 x floor",
            !g.smoke,
            q_tput / f_tput >= 0.8});

    // Into a pipe read by cat, the floor into the same kind of pipe. The
    // three processes share two cores, so runs are bimodal: the ratio is the
    // median of each pair's.
    long long piped = g.smoke ? 10000000LL : 200000000LL;
    std::string piped_request = Record(c1, key, {"flood", std::to_string(piped)}, no_env, "piped");
    auto into_cat = [](std::vector<std::string> command) {
      std::string line;
      for (const std::string& word : command) line += "'" + word + "' ";
      return std::vector<std::string>{"/bin/sh", "-c", line + "| cat > /dev/null"};
    };
    std::vector<std::string> quarn_piped =
        into_cat(QuarnArgs(c1, {"flood", std::to_string(piped)}));
    std::vector<std::string> floor_piped =
        into_cat({g.floor, "run", std::to_string(port), piped_request});
    std::vector<double> pair_ratios;
    tq.clear();
    tf.clear();
    for (int i = 0; i < (g.smoke ? 2 : 15); ++i) {
      double q = Exec(quarn_piped).seconds, f = Exec(floor_piped).seconds;
      tq.push_back(q);
      tf.push_back(f);
      pair_ratios.push_back(f / q);
    }
    double piped_mb = static_cast<double>(piped) / 1e6;
    Stats pq = Summarise(tq), pf = Summarise(tf), pr = Summarise(pair_ratios);
    AddRow({"output relay into a pipe read by cat (" + std::to_string(piped / 1000000) + " MB)",
            "MB/s",
            {piped_mb / pq.median, piped_mb / pq.max, piped_mb / pq.min},
            piped_mb / pf.median,
            pr.median,
            ">= 0.67 x floor (paired)",
            !g.smoke,
            pr.median >= 0.67});

    // Peak memory.
    std::vector<long> rss_small;
    for (int i = 0; i < 3; ++i) {
      rss_small.push_back(Exec(QuarnArgs(c1, {"flood", "10000000"})).max_rss_kb);
    }
    double big = static_cast<double>(*std::max_element(rss_big.begin(), rss_big.end())) / 1024;
    double small =
        static_cast<double>(*std::max_element(rss_small.begin(), rss_small.end())) / 1024;
    AddRow({"peak RSS, flood " + std::to_string(flood / 1000000) + " MB",
            "MiB",
            {big, big, big},
            4,
            big / 4,
            "<= 4 MiB",
            !g.smoke,
            big <= 4});
    AddRow({"peak RSS, flood 10 MB",
            "MiB",
            {small, small, small},
            big,
            small / big,
            "within 10% of the above",
            !g.smoke,
            std::abs(big - small) <= 0.1 * small});

    // One "stdout" field of 300 MB from a scripted daemon.
    long long field = g.smoke ? 3000000LL : 300000000LL;
    std::string field_config = g.work + "/config-field";
    pid_t field_daemon = OneFieldDaemon(field_config, field);
    std::string field_dir = field_config + "/daemons/field-daemon";
    pid_t field_alive = HoldAlive({field_dir});
    Run field_run = Exec(QuarnArgs(field_config, {"anything"}));
    kill(field_alive, SIGKILL);
    waitpid(field_alive, nullptr, 0);
    waitpid(field_daemon, nullptr, 0);
    double field_rss = static_cast<double>(field_run.max_rss_kb) / 1024;
    if (field_run.status != 0) std::fprintf(stderr, "bench: the one-field command failed\n");
    AddRow({"peak RSS, one " + std::to_string(field / 1000000) + " MB stdout field",
            "MiB",
            {field_rss, field_rss, field_rss},
            4,
            field_rss / 4,
            "<= 4 MiB",
            !g.smoke,
            field_rss <= 4});

    // A "stdout" message with 63 extra fields of 1 MiB each: refused at the
    // message's bound. And the most a message may hold: 1 MiB of output
    // text beside 1 MiB of other fields.
    int extra_status = 0, worst_status = 0;
    double extra_rss = PeakRssAgainst(
        "extra-fields",
        [](int fd) {
          std::string head = "stdout. \"text\"", open = " \"", close = "\"";
          if (!WriteFully(fd, head.data(), head.size())) return false;
          for (int i = 0; i < 63; ++i) {
            if (!WriteFully(fd, open.data(), open.size()) || !WriteText(fd, 1 << 20, 'e') ||
                !WriteFully(fd, close.data(), close.size())) {
              return false;
            }
          }
          return WriteFully(fd, "\n", 1);
        },
        &extra_status);
    if (extra_status != 255) std::fprintf(stderr, "bench: the extra fields were not refused\n");
    AddRow({"peak RSS, 63 extra fields of 1 MiB (refused)",
            "MiB",
            {extra_rss, extra_rss, extra_rss},
            4,
            extra_rss / 4,
            "<= 4 MiB",
            !g.smoke,
            extra_rss <= 4});
    double worst_rss = PeakRssAgainst(
        "worst-message",
        [](int fd) {
          std::string head = "stdout. \"", middle = "\" \"", tail = "\"\nexit-code. \"\"\n";
          // The type and the second field make up the message's 1 MiB.
          return WriteFully(fd, head.data(), head.size()) && WriteText(fd, 1 << 20, 't') &&
                 WriteFully(fd, middle.data(), middle.size()) &&
                 WriteText(fd, (1 << 20) - 6, 'f') && WriteFully(fd, tail.data(), tail.size());
        },
        &worst_status);
    if (worst_status != 0) std::fprintf(stderr, "bench: the largest message was refused\n");
    AddRow({"peak RSS, 1 MiB output text beside 1 MiB of fields",
            "MiB",
            {worst_rss, worst_rss, worst_rss},
            4,
            worst_rss / 4,
            "<= 4 MiB",
            !g.smoke,
            worst_rss <= 4});

    // A live entry whose sandboxes file is a sparse 1 GB file, beside the
    // running daemon.
    std::string huge = c1 + "/daemons/bench-huge-sandboxes";
    WriteEntry(huge, 1, 1LL << 30);
    pid_t huge_alive = HoldAlive({huge});
    long huge_rss = 0;
    for (int i = 0; i < 3; ++i)
      huge_rss = std::max(huge_rss, Exec(QuarnArgs(c1, {"echo", "hi"})).max_rss_kb);
    kill(huge_alive, SIGKILL);
    waitpid(huge_alive, nullptr, 0);
    Exec(QuarnArgs(c1, {"echo", "hi"}));  // its purge deletes the entry
    double huge_mib = static_cast<double>(huge_rss) / 1024;
    AddRow({"peak RSS, a live entry with a 1 GB sandboxes file",
            "MiB",
            {huge_mib, huge_mib, huge_mib},
            4,
            huge_mib / 4,
            "<= 4 MiB",
            !g.smoke,
            huge_mib <= 4});
  }

  if (Wants("sandboxes")) {
    // Large sandboxes files in the entry of the daemon that serves, each
    // with a root that serves the command, against the same daemon set-up
    // with that one root: the lookup's extra time and quarn's peak RSS.
    auto served_by_roots = [&](const std::string& config, const std::string& roots) {
      Exec(QuarnArgs(config, {"echo", "hi"}));
      for (const std::string& name : Entries(config + "/daemons")) {
        std::ofstream(config + "/daemons/" + name + "/sandboxes", std::ios::binary) << roots;
      }
    };
    std::string one = g.work + "/config-one-root", big = g.work + "/config-big-sandboxes";
    served_by_roots(one, "/\n");
    // Each file is made and written, then freed: the bench's own memory
    // would count in the peak RSS of the quarn it forks.
    struct Case {
      const char* name;
      std::function<std::string()> roots;
    } cases[] = {
        {"1 MiB of empty lines", [] { return std::string(1024 * 1024, '\n'); }},
        {"one 1 MiB line", [] { return std::string(1024 * 1024 - 3, '/') + "\n/\n"; }},
        {"100,000 short roots",
         [] {
           std::string many;
           for (int i = 0; i < 100000; ++i) {
             many += i == 100 ? std::string("/") : "/r" + std::to_string(i);
             many += '\n';
           }
           return many;
         }},
    };
    for (const Case& c : cases) {
      served_by_roots(big, c.roots());
      tq.clear();
      tf.clear();
      std::vector<long> rss;
      Alternate(runs, QuarnArgs(big, {"echo", "hi"}), QuarnArgs(one, {"echo", "hi"}), &tq, &tf, {},
                {}, &rss);
      double extra_ms = (Summarise(tq).median - Summarise(tf).median) * 1e3;
      AddRow({std::string("sandboxes: extra lookup time, ") + c.name,
              "ms",
              {extra_ms, extra_ms, extra_ms},
              10,
              extra_ms / 10,
              "<= 10 ms",
              !g.smoke,
              extra_ms <= 10});
      double mib = static_cast<double>(*std::max_element(rss.begin(), rss.end())) / 1024;
      AddRow({std::string("sandboxes: peak RSS, ") + c.name,
              "MiB",
              {mib, mib, mib},
              4,
              mib / 4,
              "<= 4 MiB",
              !g.smoke,
              mib <= 4});
    }
    StopDaemons(one);
    StopDaemons(big);
  }

  if (Wants("recv")) {
    // Receive calls per 32 KiB message.
    long long strace_bytes = g.smoke ? 3276800LL : 327680000LL;
    int recvs = CountRecvCalls(c1, strace_bytes);
    double per_message = static_cast<double>(recvs) / static_cast<double>(strace_bytes / 32768);
    AddRow({"receive calls per 32 KiB stdout message",
            "calls",
            {per_message, per_message, per_message},
            2,
            per_message / 2,
            "<= 2",
            !g.smoke,
            recvs > 0 && per_message <= 2});
  }

  if (Wants("registry")) {
    // Registry with 200 live entries.
    Exec(QuarnArgs(c200, {"echo", "hi"}));
    std::vector<int> held;
    for (int i = 0; i < 199; ++i) {
      std::string dir = c200 + "/daemons/bench-entry-" + std::to_string(i);
      mkdir(dir.c_str(), 0700);
      std::ofstream(dir + "/location", std::ios::binary) << std::string(20, '\x01');
      std::ofstream(dir + "/sandboxes") << "/nonexistent/bench/root\n";
      std::ofstream(dir + "/daemon.properties") << "bench: filler\n";
      held.push_back(open((dir + "/alivelock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    }
    pid_t holder = fork();
    if (holder == 0) {
      for (int fd : held) {
        if (lockf(fd, F_TLOCK, 0) != 0) _exit(3);
      }
      pause();
      _exit(0);
    }
    for (int fd : held) close(fd);
    usleep(100000);
    tq.clear();
    tf.clear();
    Alternate(runs, QuarnArgs(c200, {"echo", "hi"}), QuarnArgs(c1, {"echo", "hi"}), &tq, &tf);
    double per_entry = (Summarise(tq).median - Summarise(tf).median) / 199 * 1e6;
    AddRow({"registry: cost per extra live entry (200)",
            "us",
            {per_entry, per_entry, per_entry},
            50,
            per_entry / 50,
            "<= 50 us",
            !g.smoke,
            per_entry <= 50});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
  }

  if (Wants("console")) {
    // Console input.
    std::string input = g.work + "/input.txt";
    long long input_bytes = g.smoke ? 1000000LL : 100000000LL;
    {
      std::ofstream f(input);
      std::string line(99, 'x');
      for (long long n = 0; n < input_bytes; n += 100) f << line << '\n';
    }
    std::vector<double> console;
    for (int i = 0; i < (g.smoke ? 1 : 3); ++i) {
      std::string command =
          "cat '" + input + "' | '" + g.quarn + "' --config '" + c1 + "' cat > /dev/null";
      console.push_back(Exec({"/bin/sh", "-c", command}).seconds);
    }
    Stats console_stats = Summarise(console);
    double in_mb = static_cast<double>(input_bytes) / 1e6;
    AddRow({"console input (cat FILE | quarn cat)",
            "MB/s",
            {in_mb / console_stats.median, in_mb / console_stats.max, in_mb / console_stats.min},
            0,
            0,
            "report",
            false,
            true});
  }

  StopDaemons(c1);
  StopDaemons(c200);
  WriteJson();
  bool all_met = true;
  for (const Row& r : g_rows) all_met = all_met && (!r.checked || r.met);
  // A smoke run checks that every measurement ran and gave a figure.
  int without_figure = 0;
  for (const Row& r : g_rows) {
    if (!std::isfinite(r.value.median)) {
      std::fprintf(stderr, "bench: no figure for \"%s\"\n", r.name.c_str());
      ++without_figure;
    }
  }
  std::printf("%s\n", g.smoke   ? "smoke run: targets not checked, every row has a figure"
                      : all_met ? "all targets met"
                                : "some targets missed");
  return without_figure == 0 ? 0 : 1;
}
