// Stress test of the parallel batch fetches over one Faidx: results equal the sequential fetch,
// through the map and through the shared descriptor, in slots or in place. Run under
// ThreadSanitizer by make test-tsan.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "faidx/batch.hpp"
#include "faidx/faidx.hpp"
#include "faidx/file_io.hpp"
#include "faidx/pool.hpp"

using namespace tavlo;

namespace {

std::string make_file(std::vector<std::string>* residues) {
  char path[] = "/tmp/tavlo_batch_XXXXXX";
  const int fd = ::mkstemp(path);
  std::string text;
  std::uint64_t state = 99;
  for (int r = 0; r < 4; ++r) {
    std::string seq;
    const std::size_t n = 1000 + 3000 * r;
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      seq.push_back("ACGTacgtN"[(state >> 33) % 9]);
    }
    text += ">s" + std::to_string(r) + "\n";
    const std::size_t width = 50 + 7 * r;
    for (std::size_t i = 0; i < n; i += width) text += seq.substr(i, width) + (r % 2 ? "\r\n" : "\n");
    residues->push_back(seq);
  }
  (void)write_all(fd, text.data(), text.size());
  ::close(fd);
  return path;
}

// fetch_items in chunks on the pool, as the streamed batch runs it: each chunk stops at its first
// failing item and holds what fetch_single_optimized gives before it. With `one_name`, every
// region is of record s1, its entry given once.
void run_items(const Faidx& fx, const std::vector<BatchRegion>& regions, bool one_name) {
  constexpr std::size_t kChunk = 100;
  const std::size_t n = regions.size();
  const EntryNumbers s1 = *fx.names().lookup("s1");
  std::vector<SequenceRecord> records(n);
  std::vector<BatchItem> items(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view name = one_name ? std::string_view("s1") : regions[i].name;
    items[i] = {&records[i], name, regions[i].start, regions[i].end, fx.names().find_index(name)};
  }
  std::vector<BatchFailure> failures(n / kChunk + 1);
  parallel_for(failures.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t from = k * kChunk, to = std::min(n, from + kChunk);
      fetch_items(fx, std::span<BatchItem>(items.data() + from, to - from),
                  one_name ? &s1 : nullptr, fx.has_map(), failures[k]);
    }
  });
  for (std::size_t k = 0; k < failures.size(); ++k) {
    for (std::size_t i = k * kChunk; i < std::min(n, (k + 1) * kChunk); ++i) {
      auto expect = fx.fetch_single_optimized(items[i].name, items[i].start, items[i].end,
                                              fx.has_map());
      if (!expect.ok()) {
        CHECK_EQ(failures[k].position, i - k * kChunk);
        CHECK(failures[k].error && failures[k].error->display() == expect.error().display());
        break;
      }
      CHECK_EQ(records[i].seq, expect->seq);
      CHECK_EQ(records[i].name, expect->name);
      CHECK(records[i].start == expect->start && records[i].end == expect->end);
    }
  }
}

void run(const std::string& path, const std::vector<std::string>& residues, bool mutable_file) {
  FaidxOptions options;
  options.filename = path;
  options.indexname = path + ".fai";
  options.mutable_file = mutable_file;
  auto opened = Faidx::open(options);
  if (!CHECK(opened.ok())) return;
  const Faidx& fx = **opened;
  std::vector<std::string> names;
  for (std::size_t r = 0; r < residues.size(); ++r) names.push_back("s" + std::to_string(r));
  names.push_back("missing");
  std::vector<BatchRegion> regions;
  std::uint64_t state = 7;
  for (int i = 0; i < 20000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::size_t r = (state >> 33) % names.size();
    const std::uint64_t a = (state >> 40) % 14000, b = a + (state >> 20) % 300;
    regions.push_back({names[r], a, b});
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<BatchSlot> slots = fetch_parallel(fx, regions);
    if (!CHECK_EQ(slots.size(), regions.size())) return;
    for (std::size_t i = 0; i < regions.size(); ++i) {
      auto expect = fx.fetch_single_optimized(regions[i].name, regions[i].start, regions[i].end,
                                              fx.has_map());
      if (!expect.ok()) {
        CHECK(slots[i].error && slots[i].error->display() == expect.error().display());
        continue;
      }
      CHECK(!slots[i].error);
      CHECK_EQ(slots[i].seq, expect->seq);
      CHECK_EQ(slots[i].start, *expect->start);
      CHECK_EQ(slots[i].end, *expect->end);
      const std::size_t r = regions[i].name[1] - '0';
      const std::uint64_t s = *expect->start, e = *expect->end;
      if (s <= e) CHECK_EQ(slots[i].seq, residues[r].substr(s - 1, e - s + 1));
    }
  }
  run_items(fx, regions, false);
  run_items(fx, regions, true);
  FaidxOptions strict = options;
  strict.strict_bounds = true;
  auto strict_fx = Faidx::open(strict);
  if (CHECK(strict_fx.ok())) run_items(**strict_fx, regions, true);
}

}  // namespace

int main() {
  std::vector<std::string> residues;
  const std::string path = make_file(&residues);
  run(path, residues, false);
  run(path, residues, true);
  ::unlink(path.c_str());
  ::unlink((path + ".fai").c_str());
  return tavlo::check::summary();
}
