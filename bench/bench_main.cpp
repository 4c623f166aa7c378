// The benchmark program: runs the baselines and the requests, prints Google Benchmark's table
// (and writes its JSON file when asked with --benchmark_out), and ends with each request's cost as
// a multiple of the baselines measured in the same run.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bench_benchmarks.h"

namespace {

constexpr char kBaselinePrefix[] = "Baseline/";
constexpr char kClassListBaseline[] = "Baseline/ClassDeviceList";
constexpr char kRegistryBaseline[] = "Baseline/RegistryOpenClose";
constexpr char kInfBaseline[] = "Baseline/InfOpenClose";
constexpr char kMeanAggregate[] = "mean";

struct Measured {
  std::string name;  // as the table shows it
  std::string function;
  std::string args;
  double cpuNs = 0;
};

// The console table as usual, and the ratios once every benchmark has run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      // With repetitions the mean stands for the benchmark; otherwise its one run does.
      const bool isMean = run.run_type == Run::RT_Aggregate && run.aggregate_name == kMeanAggregate;
      if (run.run_type == Run::RT_Aggregate && !isMean) continue;
      const std::string key = run.run_name.function_name + "/" + run.run_name.args;
      if (!isMean && means_.count(key) != 0) continue;
      if (isMean) means_.insert(key);
      if (measured_.count(key) == 0) order_.push_back(key);
      const double nsPerUnit = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      measured_[key] = Measured{run.benchmark_name(), run.run_name.function_name, run.run_name.args,
                                run.GetAdjustedCPUTime() * nsPerUnit};
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const Measured *registry = Find(kRegistryBaseline, "");
    const Measured *inf = Find(kInfBaseline, "");
    std::ostream &stream = GetOutputStream();
    stream << "\nCPU time of each request as a multiple of the baselines measured in this run\n";
    char line[256];
    std::snprintf(line, sizeof(line), "%-40s %18s %18s %18s\n", "request", "class device list", "registry open",
                  "INF open");
    stream << line;
    std::snprintf(line, sizeof(line), "%-40s %18s %18s %18s\n", "", "(same machine)", "and close", "and close");
    stream << line;
    for (const std::string &key : order_) {
      const Measured &request = measured_.at(key);
      if (request.function.rfind(kBaselinePrefix, 0) == 0) continue;
      const Measured *classList = Find(kClassListBaseline, request.args);
      std::snprintf(line, sizeof(line), "%-40s %18s %18s %18s\n", request.name.c_str(),
                    Ratio(request, classList).c_str(), Ratio(request, registry).c_str(),
                    Ratio(request, inf).c_str());
      stream << line;
    }
  }

 private:
  const Measured *Find(const std::string &function, const std::string &args) const {
    const auto found = measured_.find(function + "/" + args);
    return found == measured_.end() ? nullptr : &found->second;
  }

  static std::string Ratio(const Measured &request, const Measured *baseline) {
    if (baseline == nullptr || baseline->cpuNs <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f x", request.cpuNs / baseline->cpuNs);
    return text;
  }

  std::map<std::string, Measured> measured_;
  std::vector<std::string> order_;
  std::set<std::string> means_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RegisterBaselineBenchmarks();
  bench::RegisterInstallationBenchmarks();
  bench::RegisterQuitBenchmarks();

  const auto options =
      isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular : benchmark::ConsoleReporter::OO_Tabular;
  RatioReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
