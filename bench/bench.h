// The benchmark driver's tools: running a command and timing it, the rows
// of the results table, and the daemons and configurations the
// measurements share.
#ifndef QUARN_BENCH_BENCH_H_
#define QUARN_BENCH_BENCH_H_

#include <sys/types.h>

#include <string>
#include <vector>

struct Config {
  std::string quarn, trel, floor, work, json;
  std::string disk_work;  // a second place on the file system of $HOME
  bool smoke = false;
  std::string only;  // run only the measurements whose key contains this
};

double Now();

struct Run {
  double seconds = 0;
  long max_rss_kb = 0;
  int status = -1;
};

/// Runs argv with stdin from `in` and stdout to `out`; extra environment
/// entries appended.
Run Exec(const std::vector<std::string>& argv, const std::string& in = "/dev/null",
         const std::string& out = "/dev/null", const std::vector<std::string>& extra_env = {});

struct Stats {
  double median = 0, min = 0, max = 0;
};
Stats Summarise(std::vector<double> v);
/// The same in milliseconds.
Stats InMs(const Stats& seconds);

struct Row {
  std::string name, unit;
  Stats value;
  double reference = 0;  // the floor or budget the value is compared with
  double ratio = 0;
  std::string target;
  bool checked = false, met = true;
};

/// A file system the registry is measured on: the bench's directory
/// there, and what the warm commands found there.
struct Place {
  std::string label;  // the file system and where it is
  std::string work;
  std::string warm_config;  // a configuration whose daemon is running
  int port = 0;
  std::string key;
  std::vector<std::string> floor_echo;  // the floor's "echo hi" on that daemon
  Stats warm, floor_warm;               // paced, seconds
  double protocol = 0;                  // one lookup's own cost, paced, seconds
};

/// What every measurement shares: the configuration, the places, and the
/// rows. The fields of the first place are repeated here for the
/// measurements made there alone.
struct Bench {
  Config config;
  int runs = 0;               // pairs per timed comparison
  int pace_us = 0;            // between commands, as a user at a prompt
  std::vector<Place> places;  // a memory file system first
  std::string warm_config;    // places[0]'s
  int port = 0;
  std::string key;
  std::vector<std::string> floor_echo;
  Stats warm;  // places[0]'s warm command, back to back
  std::vector<Row> rows;

  void Add(Row row);
  /// quarn with `command` in configuration `dir`.
  std::vector<std::string> Quarn(const std::string& dir, std::vector<std::string> command) const;
  /// Records the floor's request for `command` (environment `extra`) with
  /// key `key` into the bench's directory; the file's path.
  std::string Record(const std::vector<std::string>& command, const std::vector<std::string>& extra,
                     const std::string& name, const std::string& key, const std::string& dir) const;
  std::string Record(const std::vector<std::string>& command, const std::vector<std::string>& extra,
                     const std::string& name) const {
    return Record(command, extra, name, key, warm_config);
  }
  /// Runs `a` and `b` in turn `pairs` times (after one warm-up each, unless
  /// `warm_up` is false), each `pace_us` after the last; their per-run
  /// seconds, and a's peak RSS when asked.
  void Alternate(int pairs, const std::vector<std::string>& a, const std::vector<std::string>& b,
                 std::vector<double>* ta, std::vector<double>* tb,
                 const std::vector<std::string>& env_a = {},
                 const std::vector<std::string>& env_b = {}, std::vector<long>* rss_a = nullptr,
                 int pace_us = 0, bool warm_up = true) const;
  /// A row for a peak memory figure in MiB, checked against 4 MiB.
  void AddRss(const std::string& name, double mib);
};

/// The file system type of `dir` in words ("ext4", "tmpfs", ...).
std::string FileSystemOf(const std::string& dir);
/// The names of the entries in a registry directory.
std::vector<std::string> EntryNames(const std::string& registry);
/// Port and key of the reference daemon quarn started in `config`.
bool DaemonOf(const std::string& config, int* port, std::string* key);
/// Ends the reference daemons of `config` and waits for their entries to go.
void StopDaemons(const std::string& config);
/// Reference daemons running for `config` (their command line names it).
int CountDaemons(const std::string& config);
/// The reference daemon's start-to-ready time: from exec to its "Key:"
/// line, its configuration in `work`; and, when `floor_first` is given, the
/// floor's first "echo hi" on each fresh daemon (seconds, medians).
double TrelReadyTime(const Config& config, const std::string& work, double* floor_first = nullptr);
/// One lookup's lock-file cycles and directory reads, in `work`: the
/// median of `count` of them, `pace_us` apart (seconds).
double ProtocolCost(const Config& config, const std::string& work, int count, int pace_us);
/// Receive calls of a quarn relaying `bytes` of output.
int CountRecvCalls(const Config& config, const std::string& dir, long long bytes);
/// Runs `loops` processes at once; each runs `argv` in a row, `count` times
/// or, with count 0, for `seconds`. Every command's duration, in seconds.
std::vector<double> ConcurrentLoops(int loops, int count, double seconds,
                                    const std::vector<std::string>& argv);
void WriteJson(const Bench& bench);

#endif  // QUARN_BENCH_BENCH_H_
