// Building the picture list of a large tree: the recursive scan with the time
// keys of every file and the sort, beside
//   find DIR -name '*.jpg' -printf '%T@ %p\n' | LC_ALL=C sort
// on the same tree, whose output is read into memory line by line as ours ends in
// a list of lines. Both are timed in wall-clock time (the reference runs in two
// child processes). The tree, 100,000 empty .jpg files with spread-out times in
// 10 x 10 folders of 1,000, is made once per run in the temporary directory and
// removed at exit. bench/compare_scan.py runs both sides interleaved.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/picturelist.h"
#include "platform/system.h"

namespace rv {
namespace {

constexpr int kTop = 10, kSub = 10, kFiles = 1000;

class TScanTree {
 public:
  TScanTree() {
    root_ = TempDirectory() + "revimora-scan-XXXXXX";
    if (!mkdtemp(root_.data())) std::abort();
    uint32_t seed = 1;
    for (int a = 0; a < kTop; ++a) {
      const std::string top = root_ + "/album" + std::to_string(a);
      mkdir(top.c_str(), 0755);
      for (int b = 0; b < kSub; ++b) {
        const std::string sub = top + "/event" + std::to_string(b);
        mkdir(sub.c_str(), 0755);
        for (int i = 0; i < kFiles; ++i) {
          const std::string file = sub + "/IMG_" + std::to_string(10000 + i) + ".jpg";
          int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (fd < 0) std::abort();
          // Times over about ten years, to the microsecond, so keys differ as photos' do.
          seed = seed * 1664525u + 1013904223u;
          const int64_t micros = 1262304000LL * 1000000 + int64_t(seed % 315360000u) * 1000000 + seed % 1000000;
          struct timespec times[2] = {{time_t(micros / 1000000), long(micros % 1000000) * 1000},
                                      {time_t(micros / 1000000), long(micros % 1000000) * 1000}};
          futimens(fd, times);
          close(fd);
        }
      }
    }
  }
  ~TScanTree() {
    nftw(
        root_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& Root() const { return root_; }

 private:
  std::string root_;
};

const TScanTree& Tree() {
  static TScanTree tree;
  return tree;
}

void ScanList_ours(benchmark::State& state) {
  const std::string root = Tree().Root();
  size_t count = 0;
  for (auto _ : state) {
    TPictureList list = ScanFolderLines(root, true);
    SortPictureList(list);
    count = list.size();
    benchmark::DoNotOptimize(list.data());
  }
  if (count != size_t(kTop) * kSub * kFiles) state.SkipWithError("wrong count");
  state.counters["files"] = double(count);
}
BENCHMARK(ScanList_ours)->Name("ScanList/ours")->UseRealTime()->Unit(benchmark::kMillisecond);

void ScanList_find(benchmark::State& state) {
  const std::string command = "find '" + Tree().Root() + "' -name '*.jpg' -printf '%T@ %p\\n' | LC_ALL=C sort";
  size_t count = 0;
  struct rusage before, after;
  getrusage(RUSAGE_CHILDREN, &before);
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("popen failed");
      break;
    }
    std::vector<std::string> lines;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t n;
    while ((n = getline(&line, &capacity, pipe)) > 0) lines.emplace_back(line, size_t(n - 1));
    free(line);
    pclose(pipe);
    count = lines.size();
    benchmark::DoNotOptimize(lines.data());
  }
  getrusage(RUSAGE_CHILDREN, &after);
  if (count != size_t(kTop) * kSub * kFiles) state.SkipWithError("wrong count");
  state.counters["files"] = double(count);
  // CPU time of find and sort (user + system), per iteration: the parent's own
  // CPU time only counts reading the pipe.
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  const double children =
      seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
  state.counters["child_cpu_ms"] = benchmark::Counter(children * 1e3 / double(state.iterations()));
}
BENCHMARK(ScanList_find)->Name("ScanList/find_sort")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rv
