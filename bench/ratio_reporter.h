// A console reporter that also prints, after the usual table, the ratio of
// each benchmark "<name>_<ours>" to its reference "<name>_<reference>" (same
// arguments), so a run shows our code and the reference side by side.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zvbench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string ours, std::string reference)
        : ours_("_" + std::move(ours)), reference_("_" + std::move(reference))
    {
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-40s %12s %12s %8s\n", "pair", "ours", "reference", "ratio");
        for (const auto &entry : times_) {
            const std::string &name = entry.first;
            size_t at = name.find(ours_);
            if (at == std::string::npos)
                continue;
            std::string ref = name.substr(0, at) + reference_ + name.substr(at + ours_.size());
            auto other = times_.find(ref);
            if (other == times_.end() || other->second <= 0)
                continue;
            std::printf("%-40s %12.2f %12.2f %8.2f\n", name.c_str(), entry.second, other->second,
                        entry.second / other->second);
        }
    }

private:
    std::string ours_, reference_;
    std::map<std::string, double> times_;
};

// main() for a benchmark program whose pairs are named *_<ours> / *_<reference>.
inline int runWithRatios(int argc, char **argv, const char *ours, const char *reference)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(ours, reference);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace zvbench
