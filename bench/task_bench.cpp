// Task registry costs: a progress update (read, merge, temporary file, rename) is on every
// worker's path, a poll on every front-end tick. Goals for a task with a few kilobytes of data on
// a local disk: a poll well under a millisecond; a progress update within a few milliseconds of
// wall time (the rename over the old file makes the file system write the new data first, which
// dominates), so reporting never slows the work it reports on.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "http/task_registry.h"
#include "runtime/data_root.h"
#include "runtime/log.h"

namespace {

std::string scratch_root() {
  char tmpl[] = "/tmp/taskbench.XXXXXX";
  std::string root = mkdtemp(tmpl);
  mkdir((root + "/Tasks").c_str(), 0755);
  set_data_root(root);
  log_set_min_level(LOG_ERROR);
  return root;
}

std::string task_with_data(size_t data_bytes) {
  std::string id;
  task_create(&id, "bench");
  std::string members = "\"pad\": \"" + std::string(data_bytes, 'p') + "\"";
  task_set_members(id, members.c_str());
  return id;
}

void BM_TaskProgressUpdate(benchmark::State& state) {
  std::string root = scratch_root();
  std::string id = task_with_data(static_cast<size_t>(state.range(0)));
  int i = 0;
  for (auto _ : state) task_progress(id, i++ % 100, "Grading");
  std::string cmd = "rm -rf " + root;
  benchmark::DoNotOptimize(system(cmd.c_str()));
}
BENCHMARK(BM_TaskProgressUpdate)->Arg(256)->Arg(4096)->Arg(65536);

void BM_TaskPoll(benchmark::State& state) {
  std::string root = scratch_root();
  std::string id = task_with_data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TaskRecord r;
    benchmark::DoNotOptimize(task_read(id, &r));
  }
  std::string cmd = "rm -rf " + root;
  benchmark::DoNotOptimize(system(cmd.c_str()));
}
BENCHMARK(BM_TaskPoll)->Arg(256)->Arg(4096)->Arg(65536);

void BM_TaskMergeMembers(benchmark::State& state) {
  std::string old_members;
  for (int i = 0; i < 50; ++i) old_members += (i ? ", " : "") + std::string("\"k") + std::to_string(i) + "\": " + std::to_string(i);
  for (auto _ : state) benchmark::DoNotOptimize(task_merge_members(old_members, "\"k7\": 1, \"new\": \"x\""));
}
BENCHMARK(BM_TaskMergeMembers);

}  // namespace

BENCHMARK_MAIN();
