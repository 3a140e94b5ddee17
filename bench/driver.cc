// The benchmark driver: runs quarn and the floor side by side against
// reference daemons in a directory of its own, alternating the two commands,
// and prints medians, ratios and targets (also as JSON). The warm command
// comes first: the other measurements compare with it.
#include <sys/stat.h>
#include <unistd.h>

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
    } else if (a == "--disk-work") {
      config.disk_work = next();
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

// The warm command against the floor's same exchange on the same daemon,
// paced as a user at a prompt runs it and back to back; beside them the
// registry protocol's own cost on that file system.
bool MeasureWarm(Bench& b, Place& place) {
  const std::string at = " [" + place.label + "]";
  bool smoke = b.config.smoke;
  place.warm_config = place.work + "/config-warm";
  Exec(b.Quarn(place.warm_config, {"echo", "hi"}));
  if (!DaemonOf(place.warm_config, &place.port, &place.key)) return false;
  place.floor_echo = {b.config.floor, "run", std::to_string(place.port),
                      b.Record({"echo", "hi"}, {}, "echo", place.key, place.warm_config)};
  std::vector<std::string> quarn = b.Quarn(place.warm_config, {"echo", "hi"});
  // quarn, the floor and one lookup's own cost in turn, so that the three
  // see the file system in the same mood: it has slow spells here.
  auto triples = [&](int pace_us, Stats* tq, Stats* tf, Stats* tp) {
    std::vector<double> q, f, p;
    b.Alternate(1, quarn, place.floor_echo, &q, &f);  // a warm-up
    q.clear();
    f.clear();
    for (int i = 0; i < 2 * b.runs; ++i) {  // more than elsewhere: the differences are small
      b.Alternate(1, quarn, place.floor_echo, &q, &f, {}, {}, nullptr, pace_us, false);
      if (pace_us > 0) usleep(static_cast<useconds_t>(pace_us));
      p.push_back(ProtocolCost(b.config, place.work, 1, 0));
    }
    *tq = Summarise(q);
    *tf = Summarise(f);
    *tp = Summarise(p);
  };
  Stats protocol;
  triples(b.pace_us, &place.warm, &place.floor_warm, &protocol);
  place.protocol = protocol.median;
  double over = place.warm.median - place.floor_warm.median;
  double budget = place.protocol + 0.15e-3;
  b.Add({"warm command, paced" + at, "ms", InMs(place.warm), place.floor_warm.median * 1e3,
         place.warm.median / place.floor_warm.median, "report", false, true});
  b.Add({"  over the floor, paced" + at, "ms", InMs({over, over, over}), budget * 1e3,
         over / budget, "<= protocol + 0.15 ms", !smoke, over <= budget});
  b.Add({"  protocol's own cost (one lookup), paced" + at, "ms", InMs(protocol), 0, 0, "report",
         false, true});
  Stats warm, floor;
  triples(0, &warm, &floor, &protocol);
  b.Add({"warm command, back to back" + at, "ms", InMs(warm), floor.median * 1e3,
         warm.median / floor.median, "<= 1.3 x floor", !smoke, warm.median / floor.median <= 1.3});
  b.Add({"  protocol's own cost (one lookup), back to back" + at, "ms", InMs(protocol), 0, 0,
         "report", false, true});
  if (&place == &b.places.front()) b.warm = warm;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  if (!ParseArguments(argc, argv, b.config)) {
    std::fprintf(
        stderr,
        "usage: driver --quarn Q --trel T --floor F --work DIR [--disk-work DIR] --json FILE "
        "[--smoke] [--only KEY]\n");
    return 2;
  }
  b.runs = b.config.smoke ? 3 : 21;
  b.pace_us = 5000;
  for (const std::string& work : {b.config.work, b.config.disk_work}) {
    if (work.empty()) continue;
    mkdir(work.c_str(), 0700);
    Place place;
    place.label = FileSystemOf(work) + ", " + work;
    place.work = work;
    b.places.push_back(place);
  }
  std::printf("%-44s %10s %10s %10s %-6s %14s %13s %-29s %s\n", "measurement", "median", "min",
              "max", "unit", "reference", "ratio", "target", "result");
  for (Place& place : b.places) {
    if (!MeasureWarm(b, place)) {
      std::fprintf(stderr, "bench: no daemon started in %s\n", place.work.c_str());
      return 1;
    }
  }
  const Place& first = b.places.front();
  b.warm_config = first.warm_config;
  b.port = first.port;
  b.key = first.key;
  b.floor_echo = first.floor_echo;
  for (size_t i = 0; i < kMeasurementCount; ++i) {
    const Measurement& m = kMeasurements[i];
    if (b.config.only.empty() || std::string(m.key).find(b.config.only) != std::string::npos ||
        b.config.only.find(m.key) != std::string::npos) {
      m.measure(b);
    }
  }
  for (const Place& place : b.places) StopDaemons(place.warm_config);
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
