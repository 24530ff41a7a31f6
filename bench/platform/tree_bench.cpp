// Trees of an input-method bundle's shape (80 folders of 50 small files, 4,000
// files): the checked copy and the comparison beside `cp -R` and `diff -r` of
// the same tree, run as child processes in the same run. The comparison is to
// take a few tens of milliseconds; the install script's per-file `cmp` took
// 6.5 s of CPU time for it.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

#include "platform/fs/tree.h"
#include "tests/support/spawn.h"

namespace {

using namespace sonarell;

struct Trees {
  test::TempDir dir{"tree_bench"};
  const std::string source = dir.str() + "/Sonarell.app", copy = dir.str() + "/Copy.app",
                    scratch = dir.str() + "/Scratch.app";
  Trees() {
    for (int folder = 0; folder < 80; ++folder) {
      for (int file = 0; file < 50; ++file) {
        const std::string text =
            "\"key " + std::to_string(file) + "\" = \"" + std::string(150, 'a' + file % 26) + "\";\n";
        test::writeFile(source + "/Contents/Resources/lproj" + std::to_string(folder) + "/file" +
                            std::to_string(file) + ".strings",
                        text);
      }
    }
    // The copy is checked, which also brings both trees into the page cache.
    if (!fs::copyTree(source, copy, fs::CopyModes::Keep).ok()) throw std::runtime_error("copy");
  }
};

Trees& trees() {
  static Trees t;
  return t;
}

// CPU time of the reaped children, in milliseconds: the tools' own, beside the
// in-process figures (wall times on a shared machine say little).
double childrenCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

void countChildrenCpu(benchmark::State& state, double before) {
  state.counters["child_cpu_ms"] =
      benchmark::Counter(childrenCpuMs() - before, benchmark::Counter::kAvgIterations);
}

void removeScratch(benchmark::State& state) {
  state.PauseTiming();
  if (!fs::removeTree(trees().scratch).ok()) state.SkipWithError("remove failed");
  state.ResumeTiming();
}

void BM_TreeDifference(benchmark::State& state) {
  const Trees& t = trees();  // made before the timing starts
  for (auto _ : state) {
    if (fs::treeDifference(t.source, t.copy)) state.SkipWithError("the trees differ");
  }
}

void BM_DiffR(benchmark::State& state) {
  test::Spawn diff;
  diff.program = "/usr/bin/diff";
  diff.args = {"-r", trees().source, trees().copy};
  const double before = childrenCpuMs();
  for (auto _ : state) {
    if (test::spawnAndWait(diff) != 0) state.SkipWithError("diff -r failed");
  }
  countChildrenCpu(state, before);
}

void BM_CopyTree(benchmark::State& state) {
  const Trees& t = trees();
  for (auto _ : state) {
    if (!fs::copyTree(t.source, t.scratch, fs::CopyModes::OwnerWritable).ok()) {
      state.SkipWithError("copyTree failed");
    }
    removeScratch(state);
  }
}

void BM_CpR(benchmark::State& state) {
  test::Spawn cp;
  cp.program = "/bin/cp";
  cp.args = {"-R", "-p", trees().source, trees().scratch};
  const double before = childrenCpuMs();
  for (auto _ : state) {
    if (test::spawnAndWait(cp) != 0) state.SkipWithError("cp -R failed");
    removeScratch(state);
  }
  countChildrenCpu(state, before);
}

}  // namespace

BENCHMARK(BM_TreeDifference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DiffR)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyTree)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CpR)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
