// wal_listing: the WAL archive listing and the run of WAL files between two
// names, over directories of many segment names, beside the shell's sorted
// read of the same directory. For each size (default 100000 and 1000000) it
// makes a scratch directory below $TMPDIR (default /tmp) holding that many
// names of consecutive WAL segments of timeline 1 (hard links to a few empty
// files), measures
//
//   get_wal_files_list       the sorted listing
//   get_wal_files_sequence   first to last name, with the chain check
//   ls_f_sort                "ls -f DIR | LC_ALL=C sort >/dev/null"
//
// with Google Benchmark (wall-clock time; the directory is in the page cache
// after the first run, for both sides alike), prints its table and then one
// line per function and size:
//
//   files=N fn=NAME ours_s=SECONDS ls_sort_s=SECONDS ratio=OURS/LS_SORT
//
// and removes the scratch directories (an interrupted run leaves them as
// $TMPDIR/hx-wal-listing.*). The module's Debug lines are not written (the
// default log level), as in a production run. Google Benchmark's own options
// are passed through (--benchmark_filter=..., --benchmark_repetitions=5 for
// steadier figures: the lines then give the medians); other arguments are
// sizes. "ls -f | sort" names LC_ALL=C: byte order, the order of the
// listing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "postgresql/hx_postgresql_common.h"
#include "utils/hx_utils_common.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;

std::string segment_name(const pg::wal_name& name) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X%08X%06X%02X", name.timeline, name.log_id, name.seg_high,
                static_cast<unsigned>(name.seg_low));
  return text;
}

// A scratch directory of count consecutive segment files; removed when destroyed.
class Archive {
 public:
  explicit Archive(std::size_t count) : count_(count) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hx-wal-listing.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    dir_ = pattern;
    pg::wal_name name;
    name.timeline = 1;
    name.seg_low = 1;
    first_ = segment_name(name);
    // The names are hard links to a few empty files: a new inode for each
    // of a million names takes minutes on ext4, a link a few microseconds,
    // and the functions measured read names only.
    std::string linked;
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) name.next(256);
      last_ = segment_name(name);
      const std::string path = dir_ + "/" + last_;
      if (!linked.empty() && ::link(linked.c_str(), path.c_str()) == 0) continue;
      if (!linked.empty() && errno != EMLINK) fail("cannot link " + path);
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
      if (fd < 0 || ::close(fd) != 0) fail("cannot create " + path);
      linked = path;
    }
  }
  ~Archive() { remove(); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& first() const { return first_; }
  const std::string& last() const { return last_; }
  std::size_t count() const { return count_; }

 private:
  void remove() {
    boost::system::error_code ec;
    fs::remove_all(dir_, ec);
  }
  [[noreturn]] void fail(const std::string& what) {
    remove();
    throw std::runtime_error(what);
  }

  std::size_t count_;
  std::string dir_;
  std::string first_;
  std::string last_;
};

void bench_list(benchmark::State& state, const Archive* archive) {
  for (auto _ : state) {
    std::vector<fs::path> out;
    if (pg::get_wal_files_list(archive->dir(), out) != 0 || out.size() != archive->count()) {
      state.SkipWithError("get_wal_files_list failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}

void bench_sequence(benchmark::State& state, const Archive* archive) {
  for (auto _ : state) {
    std::vector<std::string> out;
    if (pg::get_wal_files_sequence(archive->dir(), archive->first(), archive->last(), out, false, false) != 0 ||
        out.size() != archive->count()) {
      state.SkipWithError("get_wal_files_sequence failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}

void bench_ls_sort(benchmark::State& state, const Archive* archive) {
  const std::string command = "ls -f " + hx_utils_common::shell_arg(archive->dir()) + " | LC_ALL=C sort >/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ls -f | sort failed");
      break;
    }
  }
}

// Shows the usual table and keeps the mean wall-clock time of each benchmark
// (the median of its repetitions when repeated) by name.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const double time = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      // With --benchmark_repetitions the median stands for the repetitions.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        seconds[name] = time;
        medians.insert(name);
      } else if (run.run_type == Run::RT_Iteration && medians.count(name) == 0) {
        seconds[name] = time;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
  std::set<std::string> medians;
};

std::string name_of(const char* what, std::size_t count) { return std::string(what) + "/" + std::to_string(count); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    sizes.push_back(std::strtoul(argv[i], &end, 10));
    if (*end != '\0' || sizes.back() == 0) {
      std::fprintf(stderr, "wal_listing: not a number of files: %s\n", argv[i]);
      return 2;
    }
  }
  if (sizes.empty()) sizes = {100000, 1000000};

  // Declared before the benchmarks run, destroyed (their directories removed)
  // when main returns, also after a failure to make one of them.
  std::vector<std::unique_ptr<Archive>> archives;
  try {
    for (std::size_t count : sizes) archives.push_back(std::make_unique<Archive>(count));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wal_listing: %s\n", e.what());
    return 1;
  }
  for (const auto& owned : archives) {
    const Archive* archive = owned.get();
    const std::size_t count = archive->count();
    for (auto* b : {benchmark::RegisterBenchmark(name_of("get_wal_files_list", count).c_str(), bench_list, archive),
                    benchmark::RegisterBenchmark(name_of("get_wal_files_sequence", count).c_str(), bench_sequence,
                                                 archive),
                    benchmark::RegisterBenchmark(name_of("ls_f_sort", count).c_str(), bench_ls_sort, archive)}) {
      b->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  }

  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  for (std::size_t count : sizes) {
    const auto anchor = collector.seconds.find(name_of("ls_f_sort", count));
    for (const char* fn : {"get_wal_files_list", "get_wal_files_sequence"}) {
      const auto ours = collector.seconds.find(name_of(fn, count));
      if (ours == collector.seconds.end() || anchor == collector.seconds.end()) continue;
      std::printf("files=%zu fn=%s ours_s=%.4f ls_sort_s=%.4f ratio=%.2f\n", count, fn, ours->second,
                  anchor->second, ours->second / anchor->second);
    }
  }
  return 0;
}
