// Stress test of the batch engine over one Faidx: results equal the fetch of each region alone,
// through the map and through the shared descriptor. Run under
// ThreadSanitizer by make test-tsan.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
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

struct Region {
  std::string_view name;
  std::uint64_t start, end;
};

// The quiet fetch of `r` on its own, with `entry` when given.
Status fetch_alone(const Faidx& fx, const Region& r, const EntryNumbers* entry,
                   SequenceRecord& out) {
  if (entry != nullptr) return fx.fetch_single_optimized(out, r.name, *entry, r.start, r.end);
  const auto found = fx.names().lookup(r.name);
  if (!found) return Faidx::not_found(r.name);
  return fx.fetch_single_optimized(out, r.name, *found, r.start, r.end);
}

// run_batch over `regions`, items made chunk by chunk by the produce hook, against the fetch of
// each region alone: the same records, and the first failure in input order. With `one_name`,
// every region is of record s1, its entry given once.
void run_items(const Faidx& fx, const std::vector<Region>& regions, bool one_name) {
  const std::size_t n = regions.size();
  const EntryNumbers s1 = *fx.names().lookup("s1");
  std::vector<SequenceRecord> records(n);
  std::vector<BatchItem> items(n);
  BatchOptions options;
  options.same_entry = one_name ? &s1 : nullptr;
  BatchHooks hooks;
  hooks.produce = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::string_view name = one_name ? std::string_view("s1") : regions[i].name;
      items[i] = {&records[i], name, regions[i].start, regions[i].end,
                  fx.names().find_index(name)};
    }
    return true;
  };
  BatchFailure failure;
  if (!CHECK(run_batch(fx, items, options, hooks, failure))) return;
  for (std::size_t i = 0; i < n; ++i) {
    SequenceRecord expect;
    Status s = fetch_alone(fx, {items[i].name, items[i].start, items[i].end},
                           one_name ? &s1 : nullptr, expect);
    if (!s.ok()) {
      CHECK_EQ(failure.position(), i);
      CHECK(failure.error() && failure.error()->display() == s.error().display());
      return;
    }
    CHECK_EQ(records[i].seq, expect.seq);
    CHECK_EQ(records[i].name, expect.name);
    CHECK(records[i].start == expect.start && records[i].end == expect.end);
  }
  CHECK(!failure.failed());
}

// A batch stopped by its interrupted hook returns false, and no worker is left in it.
void run_interrupted(const Faidx& fx, const std::vector<Region>& regions) {
  std::vector<SequenceRecord> records(regions.size());
  std::vector<BatchItem> items;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    items.push_back({&records[i], "s1", regions[i].start, regions[i].end, 1});
  }
  int asked = 0;
  BatchHooks hooks;
  hooks.interrupted = [&] { return ++asked == 3; };
  BatchFailure failure;
  CHECK(!run_batch(fx, items, BatchOptions{}, hooks, failure));
  CHECK_EQ(asked, 3);
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
  std::vector<Region> regions;
  std::uint64_t state = 7;
  for (int i = 0; i < 20000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::size_t r = (state >> 33) % names.size();
    const std::uint64_t a = (state >> 40) % 14000, b = a + (state >> 20) % 300;
    regions.push_back({names[r], a, b});
  }
  for (int round = 0; round < 2; ++round) run_items(fx, regions, false);
  for (std::size_t r = 0; r < residues.size(); ++r) {
    SequenceRecord whole;
    if (CHECK(fetch_alone(fx, {names[r], 1, residues[r].size()}, nullptr, whole).ok())) {
      CHECK_EQ(whole.seq, residues[r]);
    }
  }
  regions[15000].name = "missing";
  regions[17000].name = "missing";
  run_items(fx, regions, false);
  run_items(fx, regions, true);
  run_interrupted(fx, regions);
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
