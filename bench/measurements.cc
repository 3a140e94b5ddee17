// The measurements, each a function of the shared bench, and their table.
#include "measurements.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>

#include "support/processes.h"
#include "support/registry_support.h"
#include "support/wire.h"

namespace {

std::vector<std::string> ManyVariables(int count) {
  std::vector<std::string> env;
  for (int i = 0; i < count; ++i) {
    env.push_back("BENCH_EXTRA_VARIABLE_" + std::to_string(i) + "=some value number " +
                  std::to_string(i));
  }
  return env;
}

// " [label]" after a row's name.
std::string At(const Place& place) { return " [" + place.label + "]"; }

void Environment(Bench& b) {
  for (const Place& place : b.places) {
    std::vector<double> tq, tf;
    std::vector<std::string> quarn = b.Quarn(place.warm_config, {"echo", "hi"});
    b.Alternate(b.runs, quarn, quarn, &tq, &tf, ManyVariables(1000), {}, nullptr, b.pace_us);
    Stats run = Summarise(tq), warm = Summarise(tf);
    b.Add({"warm command, 1000 extra env variables, paced" + At(place), "ms", InMs(run),
           warm.median * 1e3, run.median / warm.median, "<= 1.3 x warm", !b.config.smoke,
           run.median <= 1.3 * warm.median});
  }
}

// Cold commands, each in a fresh configuration; `env` for quarn.
Stats ColdRuns(Bench& b, const std::string& work, const std::string& name,
               const std::vector<std::string>& env) {
  std::vector<double> cold;
  for (int i = 0; i < (b.config.smoke ? 2 : 11); ++i) {
    std::string dir = work + "/config-" + name + std::to_string(i);
    if (b.pace_us > 0) usleep(static_cast<useconds_t>(b.pace_us));
    cold.push_back(Exec(b.Quarn(dir, {"echo", "hi"}), "/dev/null", "/dev/null", env).seconds);
    StopDaemons(dir);
  }
  return Summarise(cold);
}

void Cold(Bench& b) {
  for (const Place& place : b.places) {
    double floor_first = 0;
    double ready = TrelReadyTime(b.config, place.work, &floor_first);
    // The start lock and the second lookup are the protocol's; nothing
    // else should add.
    double budget = ready + floor_first + 2 * place.protocol + 0.3e-3;
    auto add = [&](const std::string& name, const Stats& cold) {
      b.Add({name + At(place), "ms", InMs(cold), budget * 1e3, cold.median / budget,
             "<= ready + floor's first + 2 x protocol + 0.3 ms", !b.config.smoke,
             cold.median <= budget});
    };
    add("cold command (no daemon running)", ColdRuns(b, place.work, "cold", {}));
    // A daemon that prints its key in lower case: its entry is matched at
    // once, not after the entry wait's whole bound.
    add("cold command, key printed in lower case",
        ColdRuns(b, place.work, "cold-lower", {"TREL_REFERENCE_KEY_LOWER_CASE=1"}));
    b.Add({"  trel start-to-ready" + At(place), "ms", InMs({ready, ready, ready}), 0, 0, "report",
           false, true});
    b.Add({"  the floor's first command on a fresh daemon" + At(place), "ms",
           InMs({floor_first, floor_first, floor_first}), 0, 0, "report", false, true});
  }
}

void Concurrent(Bench& b) {
  // Overlapping runs share one daemon: daemons left after 50 runs at once
  // on a fresh configuration, and after 4 loops of warm commands.
  bool smoke = b.config.smoke;
  int at_once = smoke ? 10 : 50;
  std::vector<double> fresh, looped;
  for (int t = 0; t < (smoke ? 1 : 3); ++t) {
    std::string dir = b.config.work + "/config-overlap" + std::to_string(t);
    ConcurrentLoops(at_once, 1, 0, b.Quarn(dir, {"echo", "hi"}));
    fresh.push_back(CountDaemons(dir));
    ConcurrentLoops(4, 0, smoke ? 0.5 : 5, b.Quarn(dir, {"echo", "hi"}));
    looped.push_back(CountDaemons(dir));
    StopDaemons(dir);
  }
  Stats f = Summarise(fresh), l = Summarise(looped);
  b.Add({"daemons after " + std::to_string(at_once) + " runs at once (fresh)", "daemons", f, 1,
         f.max, "1 on each trial", !smoke, f.max == 1 && f.min == 1});
  b.Add({"daemons after 4 loops of warm commands", "daemons", l, 1, l.max, "1 on each trial",
         !smoke, l.max == 1 && l.min == 1});
  // Warm latency under load: 8 loops at once, quarn and the floor in turn.
  std::vector<double> loaded_q, loaded_f;
  for (int t = 0; t < (smoke ? 1 : 3); ++t) {
    for (double d : ConcurrentLoops(8, smoke ? 3 : 40, 0, b.Quarn(b.warm_config, {"echo", "hi"})))
      loaded_q.push_back(d);
    for (double d : ConcurrentLoops(8, smoke ? 3 : 40, 0, b.floor_echo)) loaded_f.push_back(d);
  }
  Stats lq = Summarise(loaded_q), lf = Summarise(loaded_f);
  b.Add({"warm command, 8 loops at once (median)", "ms", InMs(lq), lf.median * 1e3,
         lq.median / lf.median, "<= 1.5 x floor", !smoke, lq.median / lf.median <= 1.5});
}

long long FloodBytes(const Bench& b) { return b.config.smoke ? 10000000LL : 1000000000LL; }

void Relay(Bench& b) {
  bool smoke = b.config.smoke;
  std::string flood = std::to_string(FloodBytes(b));
  std::vector<std::string> floor_flood = {b.config.floor, "run", std::to_string(b.port),
                                          b.Record({"flood", flood}, {}, "flood")};
  std::vector<double> tq, tf;
  b.Alternate(smoke ? 2 : 9, b.Quarn(b.warm_config, {"flood", flood}), floor_flood, &tq, &tf);
  Stats relay = Summarise(tq), floor_relay = Summarise(tf);
  double mb = static_cast<double>(FloodBytes(b)) / 1e6;
  double q_tput = mb / relay.median, f_tput = mb / floor_relay.median;
  b.Add({"output relay (flood to /dev/null)",
         "MB/s",
         {q_tput, mb / relay.max, mb / relay.min},
         f_tput,
         q_tput / f_tput,
         ">= 0.8 x floor",
         !smoke,
         q_tput / f_tput >= 0.8});

  // Into a pipe read by cat, the floor into the same kind of pipe. The
  // three processes share two cores, so runs are bimodal: the ratio is the
  // median of each pair's.
  long long piped = smoke ? 10000000LL : 200000000LL;
  std::string piped_request = b.Record({"flood", std::to_string(piped)}, {}, "piped");
  auto into_cat = [](std::vector<std::string> command) {
    std::string line;
    for (const std::string& word : command) line += "'" + word + "' ";
    return std::vector<std::string>{"/bin/sh", "-c", line + "| cat > /dev/null"};
  };
  std::vector<std::string> quarn_piped =
      into_cat(b.Quarn(b.warm_config, {"flood", std::to_string(piped)}));
  std::vector<std::string> floor_piped =
      into_cat({b.config.floor, "run", std::to_string(b.port), piped_request});
  std::vector<double> pair_ratios;
  tq.clear();
  tf.clear();
  for (int i = 0; i < (smoke ? 2 : 15); ++i) {
    double q = Exec(quarn_piped).seconds, f = Exec(floor_piped).seconds;
    tq.push_back(q);
    tf.push_back(f);
    pair_ratios.push_back(f / q);
  }
  double piped_mb = static_cast<double>(piped) / 1e6;
  Stats pq = Summarise(tq), pf = Summarise(tf), pr = Summarise(pair_ratios);
  b.Add({"output relay into a pipe read by cat (" + std::to_string(piped / 1000000) + " MB)",
         "MB/s",
         {piped_mb / pq.median, piped_mb / pq.max, piped_mb / pq.min},
         piped_mb / pf.median,
         pr.median,
         ">= 0.67 x floor (paired)",
         !smoke,
         pr.median >= 0.67});
}

// Streams `bytes` of `fill` through the connection, 1 MiB at a time.
void SendText(WireConnection& c, long long bytes, char fill) {
  std::string chunk(1 << 20, fill);
  for (long long sent = 0; sent < bytes; sent += static_cast<long long>(chunk.size())) {
    c.Send(chunk.substr(0, static_cast<size_t>(std::min<long long>(bytes - sent, 1 << 20))));
  }
}

// quarn's peak RSS in MiB against a daemon played by the bench, the only
// one in a fresh configuration: `answer` is all it says after the
// description. `status` receives quarn's exit status.
// The daemon is played by a child process, not by a thread of the bench:
// a forked quarn's peak RSS counts the pages of the process it was forked
// from, and the daemon's buffers would show there.
double PeakRssAgainst(const Bench& b, const std::string& name,
                      std::function<void(WireConnection&)> answer, int* status) {
  std::string dir = b.config.work + "/config-" + name;
  int ready[2], done[2];
  if (pipe(ready) != 0 || pipe(done) != 0) return -1;
  pid_t daemon = ForkChild([&] {
    close(ready[0]);
    close(done[1]);
    ScriptedDaemon played({}, true, true, answer);
    MakeEntry(dir + "/daemons", "field-daemon", played.port(), nullptr);
    LockHolder alive({dir + "/daemons/field-daemon/alivelock"});
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) return 1;
    return read(done[0], &byte, 1) < 0 ? 1 : 0;  // waits until quarn has finished
  });
  close(ready[1]);
  close(done[0]);
  char byte = 0;
  bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  Run run = started ? Exec(b.Quarn(dir, {"anything"})) : Run();
  close(done[1]);
  WaitChild(daemon);
  *status = run.status;
  return static_cast<double>(run.max_rss_kb) / 1024;
}

void Memory(Bench& b) {
  std::string flood = std::to_string(FloodBytes(b));
  long big_kb = 0, small_kb = 0;
  for (int i = 0; i < 3; ++i) {
    big_kb = std::max(big_kb, Exec(b.Quarn(b.warm_config, {"flood", flood})).max_rss_kb);
    small_kb = std::max(small_kb, Exec(b.Quarn(b.warm_config, {"flood", "10000000"})).max_rss_kb);
  }
  double big = static_cast<double>(big_kb) / 1024, small = static_cast<double>(small_kb) / 1024;
  b.AddRss("flood " + std::to_string(FloodBytes(b) / 1000000) + " MB", big);
  b.Add({"peak RSS, flood 10 MB",
         "MiB",
         {small, small, small},
         big,
         small / big,
         "within 10% of the above",
         !b.config.smoke,
         std::abs(big - small) <= 0.1 * small});

  // One "stdout" field of 300 MB.
  long long field = b.config.smoke ? 3000000LL : 300000000LL;
  int status = 0;
  double rss = PeakRssAgainst(
      b, "field",
      [field](WireConnection& c) {
        c.Send("stdout. \"");
        SendText(c, field, 'x');
        c.Send("\"\nexit-code. \"\"\n");
      },
      &status);
  if (status != 0) std::fprintf(stderr, "bench: the one-field command failed\n");
  b.AddRss("one " + std::to_string(field / 1000000) + " MB stdout field", rss);

  // A "stdout" message with 63 extra fields of 1 MiB each: refused at the
  // message's bound. And the most a message may hold: 1 MiB of output
  // text beside 1 MiB of other fields (the type and the second field make
  // up the message's 1 MiB).
  rss = PeakRssAgainst(
      b, "extra-fields",
      [](WireConnection& c) {
        c.Send("stdout. \"text\"");
        for (int i = 0; i < 63; ++i) {
          c.Send(" \"");
          SendText(c, 1 << 20, 'e');
          c.Send("\"");
        }
        c.Send("\n");
      },
      &status);
  if (status != 255) std::fprintf(stderr, "bench: the extra fields were not refused\n");
  b.AddRss("63 extra fields of 1 MiB (refused)", rss);
  rss = PeakRssAgainst(
      b, "worst-message",
      [](WireConnection& c) {
        c.Send("stdout. \"");
        SendText(c, 1 << 20, 't');
        c.Send("\" \"");
        SendText(c, (1 << 20) - 6, 'f');
        c.Send("\"\nexit-code. \"\"\n");
      },
      &status);
  if (status != 0) std::fprintf(stderr, "bench: the largest message was refused\n");
  b.AddRss("1 MiB output text beside 1 MiB of fields", rss);

  // A live entry whose sandboxes file is a sparse 1 GB file, beside the
  // running daemon.
  std::string registry = b.warm_config + "/daemons";
  MakeEntry(registry, "bench-huge-sandboxes", 1, "");
  if (truncate((registry + "/bench-huge-sandboxes/sandboxes").c_str(), 1LL << 30) != 0) return;
  long huge_kb = 0;
  {
    LockHolder alive({registry + "/bench-huge-sandboxes/alivelock"});
    for (int i = 0; i < 3; ++i)
      huge_kb = std::max(huge_kb, Exec(b.Quarn(b.warm_config, {"echo", "hi"})).max_rss_kb);
  }
  Exec(b.Quarn(b.warm_config, {"echo", "hi"}));  // its purge deletes the entry
  b.AddRss("a live entry with a 1 GB sandboxes file", static_cast<double>(huge_kb) / 1024);
}

void Sandboxes(Bench& b) {
  // Large sandboxes files in the entry of the daemon that serves, each
  // with a root that serves the command, against the same daemon set-up
  // with that one root: the lookup's extra time and quarn's peak RSS.
  auto served_by_roots = [&](const std::string& dir, const std::string& roots) {
    Exec(b.Quarn(dir, {"echo", "hi"}));
    for (const std::string& name : EntryNames(dir + "/daemons")) {
      std::ofstream(dir + "/daemons/" + name + "/sandboxes", std::ios::binary) << roots;
    }
  };
  std::string one = b.config.work + "/config-one-root";
  std::string big = b.config.work + "/config-big-sandboxes";
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
         for (int i = 0; i < 100000; ++i)
           many += (i == 100 ? "/" : "/r" + std::to_string(i)) + "\n";
         return many;
       }},
  };
  for (const Case& c : cases) {
    served_by_roots(big, c.roots());
    std::vector<double> tq, tf;
    std::vector<long> rss;
    b.Alternate(b.runs, b.Quarn(big, {"echo", "hi"}), b.Quarn(one, {"echo", "hi"}), &tq, &tf, {},
                {}, &rss);
    double extra_ms = (Summarise(tq).median - Summarise(tf).median) * 1e3;
    b.Add({std::string("sandboxes: extra lookup time, ") + c.name,
           "ms",
           {extra_ms, extra_ms, extra_ms},
           10,
           extra_ms / 10,
           "<= 10 ms",
           !b.config.smoke,
           extra_ms <= 10});
    double mib = static_cast<double>(*std::max_element(rss.begin(), rss.end())) / 1024;
    b.Add({std::string("sandboxes: peak RSS, ") + c.name,
           "MiB",
           {mib, mib, mib},
           4,
           mib / 4,
           "<= 4 MiB",
           !b.config.smoke,
           mib <= 4});
  }
  StopDaemons(one);
  StopDaemons(big);
}

void ReceiveCalls(Bench& b) {
  long long bytes = b.config.smoke ? 3276800LL : 327680000LL;
  int recvs = CountRecvCalls(b.config, b.warm_config, bytes);
  double per_message = static_cast<double>(recvs) / static_cast<double>(bytes / 32768);
  b.Add({"receive calls per 32 KiB stdout message",
         "calls",
         {per_message, per_message, per_message},
         2,
         per_message / 2,
         "<= 2",
         !b.config.smoke,
         recvs > 0 && per_message <= 2});
}

void Registry(Bench& b) {
  // A registry with 200 live entries: one daemon and 199 that serve
  // nothing here.
  for (const Place& place : b.places) {
    std::string dir = place.work + "/config-200";
    Exec(b.Quarn(dir, {"echo", "hi"}));
    std::vector<std::string> alivelocks;
    for (int i = 0; i < 199; ++i) {
      std::string name = "bench-entry-" + std::to_string(i);
      MakeEntry(dir + "/daemons", name, 1, "/nonexistent/bench/root\n");
      alivelocks.push_back(dir + "/daemons/" + name + "/alivelock");
    }
    LockHolder alive(alivelocks);
    std::vector<double> tq, tf;
    b.Alternate(b.runs, b.Quarn(dir, {"echo", "hi"}), b.Quarn(place.warm_config, {"echo", "hi"}),
                &tq, &tf, {}, {}, nullptr, b.pace_us);
    double per_entry = (Summarise(tq).median - Summarise(tf).median) / 199 * 1e6;
    b.Add({"registry: cost per extra live entry (200), paced" + At(place),
           "us",
           {per_entry, per_entry, per_entry},
           50,
           per_entry / 50,
           "<= 50 us",
           !b.config.smoke,
           per_entry <= 50});
    alive.Release();
    StopDaemons(dir);
  }
}

void ConsoleInput(Bench& b) {
  std::string input = b.config.work + "/input.txt";
  long long bytes = b.config.smoke ? 1000000LL : 100000000LL;
  {
    std::ofstream f(input);
    std::string line(99, 'x');
    for (long long n = 0; n < bytes; n += 100) f << line << '\n';
  }
  std::vector<double> times;
  for (int i = 0; i < (b.config.smoke ? 1 : 3); ++i) {
    std::string command = "cat '" + input + "' | '" + b.config.quarn + "' --config '" +
                          b.warm_config + "' cat > /dev/null";
    times.push_back(Exec({"/bin/sh", "-c", command}).seconds);
  }
  Stats s = Summarise(times);
  double mb = static_cast<double>(bytes) / 1e6;
  b.Add({"console input (cat FILE | quarn cat)",
         "MB/s",
         {mb / s.median, mb / s.max, mb / s.min},
         0,
         0,
         "report",
         false,
         true});
}

}  // namespace

const Measurement kMeasurements[] = {
    {"env", Environment},   {"cold", Cold},         {"concurrent", Concurrent},
    {"relay", Relay},       {"rss", Memory},        {"sandboxes", Sandboxes},
    {"recv", ReceiveCalls}, {"registry", Registry}, {"console", ConsoleInput},
};
const size_t kMeasurementCount = sizeof(kMeasurements) / sizeof(kMeasurements[0]);
