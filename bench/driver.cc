// The benchmark driver: runs quarn and the floor side by side against
// reference daemons in a directory of its own, alternating the two commands,
// and prints medians, ratios and targets (also as JSON). The warm command
// comes first: the other measurements compare with it.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "bench.h"
#include "measurements.h"

namespace {

bool ParseArguments(int argc, char** argv, Config& config) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
    if (a == "--quarn") {
      config.quarn = next();
    } else if (a == "--trel") {
      config.trel = next();
    } else if (a == "--floor") {
      config.floor = next();
    } else if (a == "--work") {
      config.work = next();
    } else if (a == "--json") {
      config.json = next();
    } else if (a == "--smoke") {
      config.smoke = true;
    } else if (a == "--only") {
      config.only = next();
    }
  }
  return !config.quarn.empty() && !config.trel.empty() && !config.floor.empty() &&
         !config.work.empty();
}

// The warm command against the floor's same exchange on the same daemon.
bool MeasureWarm(Bench& b) {
  Exec(b.Quarn(b.warm_config, {"echo", "hi"}));
  if (!DaemonOf(b.warm_config, &b.port, &b.key)) return false;
  b.floor_echo = {b.config.floor, "run", std::to_string(b.port),
                  b.Record({"echo", "hi"}, {}, "echo")};
  std::vector<double> tq, tf;
  b.Alternate(b.runs, b.Quarn(b.warm_config, {"echo", "hi"}), b.floor_echo, &tq, &tf);
  b.warm = Summarise(tq);
  Stats floor = Summarise(tf);
  b.Add({"warm command (quarn echo hi)", "ms", InMs(b.warm), floor.median * 1e3,
         b.warm.median / floor.median, "<= 1.3 x floor", !b.config.smoke,
         b.warm.median / floor.median <= 1.3});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  if (!ParseArguments(argc, argv, b.config)) {
    std::fprintf(stderr,
                 "usage: driver --quarn Q --trel T --floor F --work DIR --json FILE [--smoke] "
                 "[--only KEY]\n");
    return 2;
  }
  mkdir(b.config.work.c_str(), 0700);
  b.runs = b.config.smoke ? 3 : 21;
  b.warm_config = b.config.work + "/config-warm";
  std::printf("%-44s %10s %10s %10s %-6s %14s %13s %-29s %s\n", "measurement", "median", "min",
              "max", "unit", "reference", "ratio", "target", "result");
  if (!MeasureWarm(b)) {
    std::fprintf(stderr, "bench: no daemon started\n");
    return 1;
  }
  for (size_t i = 0; i < kMeasurementCount; ++i) {
    const Measurement& m = kMeasurements[i];
    if (b.config.only.empty() || std::string(m.key).find(b.config.only) != std::string::npos ||
        b.config.only.find(m.key) != std::string::npos) {
      m.measure(b);
    }
  }
  StopDaemons(b.warm_config);
  WriteJson(b);
  bool all_met = true;
  int without_figure = 0;  // a smoke run checks that every measurement gave one
  for (const Row& r : b.rows) {
    all_met = all_met && (!r.checked || r.met);
    if (!std::isfinite(r.value.median)) {
      std::fprintf(stderr, "bench: no figure for \"%s\"\n", r.name.c_str());
      ++without_figure;
    }
  }
  std::printf("%s\n", b.config.smoke ? "smoke run: targets not checked, every row has a figure"
                      : all_met      ? "all targets met"
                                     : "some targets missed");
  return without_figure == 0 ? 0 : 1;
}
