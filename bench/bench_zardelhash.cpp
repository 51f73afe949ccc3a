// Lookup speed of the tracer's hash table against std::unordered_map, on the
// breakpoint table's workload: 4-byte keys holding line numbers 1..N, probed
// with every present key (hit) or with N absent ones, N+1..2N (miss).
// Prints one ratio line per case: time of ours divided by unordered_map's.

#include "zardelhash.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

namespace {

const int kSizes[] = {8, 64, 1024};

// First probe key: 1 for hits, N + 1 for misses.
int FirstProbe(const benchmark::State &state) {
    return state.range(1) ? 1 : static_cast<int>(state.range(0)) + 1;
}

void ZardelFind(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    CUt_HashTable table;
    CU_InitHashTable(&table, sizeof(int32_t));
    for (int32_t line = 1; line <= n; line++) {
        int isNew;
        CU_CreateHashEntry(&table, &line, &isNew);
    }
    int32_t first = FirstProbe(state);
    for (auto _ : state) {
        for (int32_t key = first; key < first + n; key++) {
            benchmark::DoNotOptimize(CU_FindHashEntry(&table, &key));
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
    CU_DeleteHashTable(&table);
}

void MapFind(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::unordered_map<int, void *> map;
    for (int line = 1; line <= n; line++) {
        map.emplace(line, nullptr);
    }
    int first = FirstProbe(state);
    for (auto _ : state) {
        for (int key = first; key < first + n; key++) {
            auto it = map.find(key);
            benchmark::DoNotOptimize(it);
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// Passes everything to the console and keeps each run's time per iteration
// by name, for the ratio lines printed after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpuTime;  // CPU time per iteration, by case
    std::set<std::string> medians;          // cases whose median is known

    // Colour only on a terminal, so logged output stays plain text.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run> &reports) override {
        // With --benchmark_repetitions the median stands for the case.
        for (const Run &run : reports) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) {
                continue;
            }
            const std::string name = run.run_name.str();
            if (median || medians.count(name) == 0) {
                cpuTime[name] = run.GetAdjustedCPUTime();
            }
            if (median) {
                medians.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }
};

std::string CaseName(const char *base, int n, bool hit) {
    return std::string(base) + "/N:" + std::to_string(n) + "/hit:" + (hit ? "1" : "0");
}

}  // namespace

int main(int argc, char **argv) {
    for (int n : kSizes) {
        for (int hit : {1, 0}) {
            benchmark::RegisterBenchmark("zardelhash_find", ZardelFind)
                ->Args({n, hit})->ArgNames({"N", "hit"});
            benchmark::RegisterBenchmark("unordered_map_find", MapFind)
                ->Args({n, hit})->ArgNames({"N", "hit"});
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    for (int n : kSizes) {
        for (bool hit : {true, false}) {
            auto ours = reporter.cpuTime.find(CaseName("zardelhash_find", n, hit));
            auto theirs = reporter.cpuTime.find(CaseName("unordered_map_find", n, hit));
            if (ours == reporter.cpuTime.end() || theirs == reporter.cpuTime.end() ||
                theirs->second <= 0.0) {
                continue;  // filtered out on the command line
            }
            printf("find ratio zardelhash/unordered_map (N=%d, %s): %.2f\n", n,
                   hit ? "hit" : "miss", ours->second / theirs->second);
        }
    }
    return 0;
}
