// Unit tests of the index core: .fai parsing and writing, the scan, the readers.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>
#include <vector>
#include <utility>
#include <string>

#include "check.hpp"
#include "faidx/extract.hpp"
#include "faidx/fai_file.hpp"
#include "faidx/faidx.hpp"
#include "faidx/file_io.hpp"
#include "faidx/map_guard.hpp"
#include "faidx/pool.hpp"
#include "faidx/scan.hpp"

using namespace tavlo;

namespace {

// The message of the Python exception for `e`.
std::string error_text(const FaidxError& e) {
  static const char* const kinds[] = {"FastaNotFoundError: ", "IndexNotFoundError: ",
                                      "FetchError: ",         "FastaIndexingError: ",
                                      "IOError: ",            "RegionError: ", ""};
  return kinds[static_cast<int>(e.kind)] + e.payload();
}

void test_parse_numbers() {
  std::uint64_t v = 0;
  CHECK(parse_u64("+60", &v) && v == 60);
  CHECK(parse_u64("18446744073709551615", &v) && v == UINT64_MAX);
  for (const char* bad : {"", "+", "-60", " 60", "6 0", "18446744073709551616", "0x10", "++1"}) {
    CHECK(!parse_u64(bad, &v));
  }
}

void test_parse_fai_lines() {
  NameTable t;
  const std::string fai =
      "chr1\t6\t18\t4\t5\n"
      "six\t1\t2\t3\t4\t5\n"            // six fields: skipped
      "trail\t1\t2\t3\t4\t\n"           // trailing tab trimmed away: read
      "\t1\t2\t3\t4\n"                  // empty name loses its tab: four fields, skipped
      "crlf\t1\t2\t3\t4\r\n"
      "\n# comment\n"
      "chr1\t7\t8\t9\t10";              // duplicate, no final LF: last numbers win
  CHECK(parse_fai(fai, t).ok());
  CHECK_EQ(t.size(), 3u);
  CHECK_EQ(t.name_at(0), "chr1");
  CHECK_EQ(t.lookup("chr1")->rlen, 7u);
  CHECK(t.lookup("trail") && t.lookup("crlf") && t.lookup("six") == std::nullopt);

  const char* cases[][2] = {{"a\tx\t1\t1\t1\n", "FastaIndexingError: Invalid rlen"},
                            {"a\t1\t-1\t1\t1\n", "FastaIndexingError: Invalid offset"},
                            {"a\t1\t1\t\t1\n", "FastaIndexingError: Invalid lenc"},
                            {"a\t1\t1\t1\t18446744073709551616\n", "FastaIndexingError: Invalid lenb"},
                            {"a\t1\t1\t1\t1\n\xff\n", "IOError: stream did not contain valid UTF-8"}};
  for (auto& c : cases) {
    NameTable bad;
    Status s = parse_fai(c[0], bad);
    if (CHECK(!s.ok())) CHECK_EQ(error_text(s.error()), c[1]);
  }
}

// Lines near the usual shape (signs, long numbers, stray white space, CRs, non-ASCII names) read
// as the general rules say, whichever way the parser takes them.
void test_parse_fai_unusual_lines() {
  const std::string lines =
      "plus\t+1\t2\t3\t4\n"
      "long\t00000000000000000000001\t2\t3\t4\n"
      " lead\t1\t2\t3\t4\n"
      "cr2\t1\t2\t3\t4\r\r\n"
      "tailsp\t1\t2\t3\t4 \n"
      "in ner\t1\t2\t3\t4\n"
      "last\t5\t6\t7\t8\r";
  for (const std::string& prefix : {std::string(), std::string("caf\xc3\xa9\t9\t9\t9\t9\n")}) {
    NameTable t;
    CHECK(parse_fai(prefix + lines, t).ok());
    CHECK_EQ(t.size(), prefix.empty() ? 7u : 8u);
    for (const char* name : {"plus", "long", "lead", "cr2", "tailsp", "in ner", "last"}) {
      const auto e = t.lookup(name);
      if (CHECK(e.has_value())) CHECK_EQ(e->offset, std::string(name) == "last" ? 6u : 2u);
    }
    CHECK_EQ(t.lookup("long")->rlen, 1u);
    CHECK_EQ(t.lookup("last")->lenb, 8u);
    if (!prefix.empty()) CHECK_EQ(t.name_at(0), "caf\xc3\xa9");
  }
  NameTable bad;
  Status s = parse_fai("a\t1\t2\t3\t4\nb\t99999999999999999999\t1\t1\t1\n", bad);
  if (CHECK(!s.ok())) CHECK_EQ(error_text(s.error()), "FastaIndexingError: Invalid rlen");
}

// The text of the index file that write_fai makes of `listing`.
std::string written_fai(const NameTable& listing) {
  char dir[] = "/tmp/tavlo_listing_XXXXXX";
  if (!CHECK(::mkdtemp(dir) != nullptr)) return {};
  const std::string path = std::string(dir) + "/x.fai";
  CHECK(write_fai(path, listing).ok());
  std::string back;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY));
  CHECK(read_all(fd.get(), back).ok());
  ::unlink(path.c_str());
  ::rmdir(dir);
  return back;
}

void test_format_fai_numbers() {
  NameTable listing;
  std::string want;
  std::vector<std::uint64_t> values{1000001, 9999999999999999999ull, 10000000000000000000ull, UINT64_MAX};
  for (std::uint64_t p = 1; p <= UINT64_MAX / 10; p *= 10) values.insert(values.end(), {p - 1, p * 9});
  for (std::uint64_t v : values) {
    listing.append("n" + std::to_string(v), EntryNumbers{v, v / 3, v % 7, 1});
    want += "n" + std::to_string(v) + "\t" + std::to_string(v) + "\t" + std::to_string(v / 3) +
            "\t" + std::to_string(v % 7) + "\t1\n";
  }
  CHECK(written_fai(listing) == want);
  CHECK_EQ(written_fai(NameTable()), "");
}

// A listing written block by block gives its lines in order, names longer than a block
// and wide numbers included; its lookup reads as insertion in order would.
void test_listing_write_and_index() {
  std::vector<IndexEntry> entries;
  NameTable listing;
  std::string want;
  const std::string long_name(300000, 'L');
  // Enough records for a share of the lines to be written by a second thread.
  for (std::uint64_t i = 0; i < 70000; ++i) {
    std::string name = i % 69990 == 7 ? long_name : "s" + std::to_string(i * 7919);
    if (i % 1000 == 999) name = "s0";  // repeats
    const EntryNumbers n{i, i << (i % 64), i % 61, i % 69990 == 9 ? UINT64_MAX : i % 62 + 1};
    entries.push_back(IndexEntry{name, n});
    listing.append(name, n);
    want += name + "\t" + std::to_string(n.rlen) + "\t" + std::to_string(n.offset) + "\t" +
            std::to_string(n.lenc) + "\t" + std::to_string(n.lenb) + "\n";
  }
  CHECK(written_fai(listing) == want);

  NameTable inserted;
  for (const IndexEntry& e : entries) inserted.insert(e.name, e.numbers);
  listing.index();
  CHECK_EQ(listing.size(), inserted.size());
  for (std::size_t i = 0; i < inserted.size(); ++i) {
    CHECK(listing.name_at(i) == inserted.name_at(i));
    CHECK(listing.numbers_at(i) == inserted.numbers_at(i));
    CHECK(listing.lookup(inserted.name_at(i)) == inserted.numbers_at(i));
  }
  NameTable distinct;
  distinct.append("a", {1, 2, 3, 4});
  distinct.append("b", {5, 6, 7, 8});
  CHECK(distinct.index_distinct() && distinct.lookup("b") == EntryNumbers({5, 6, 7, 8}));
  CHECK(!distinct.lookup("c"));
}

void test_name_table_growth() {
  NameTable t;
  for (int i = 0; i < 100000; ++i) t.insert("seq" + std::to_string(i), EntryNumbers{1u * i, 0, 0, 0});
  t.insert("seq5", EntryNumbers{42, 0, 0, 0});
  CHECK_EQ(t.size(), 100000u);
  CHECK_EQ(t.name_at(5), "seq5");
  CHECK_EQ(t.lookup("seq5")->rlen, 42u);
  CHECK_EQ(t.lookup("seq99999")->rlen, 99999u);
  CHECK(t.lookup("seq100000") == std::nullopt);
  CHECK(t.overhead_bytes() / t.size() <= 80);
}

// Numbers beyond the narrow fields come back exactly, whichever way they are read, also when a
// repeated name moves a record between the narrow and the wide form.
void test_name_table_wide_numbers() {
  constexpr std::uint64_t kMax = UINT64_MAX;
  const EntryNumbers cases[] = {
      {kMax, kMax, kMax, kMax},
      {1ull << 32, 1, 2, 3},
      {4, (1ull << 48) - 1, UINT32_MAX, UINT32_MAX - 1},  // the largest narrow record
      {4, 1ull << 48, 2, 3},
      {4, 5, 6, UINT32_MAX},
  };
  const auto same = [](const EntryNumbers& a, const EntryNumbers& b) {
    return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb;
  };
  NameTable t;
  std::string text;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const EntryNumbers& c = cases[i];
    t.insert("w" + std::to_string(i), c);
    text += "w" + std::to_string(i) + "\t" + std::to_string(c.rlen) + "\t" +
            std::to_string(c.offset) + "\t" + std::to_string(c.lenc) + "\t" +
            std::to_string(c.lenb) + "\n";
  }
  NameTable parsed;
  CHECK(parse_fai(text, parsed).ok());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = "w" + std::to_string(i);
    CHECK(same(t.numbers_at(i), cases[i]));
    CHECK(same(*parsed.lookup(name), cases[i]));
    CHECK(same(*parsed.lookup(name), cases[i]));
  }
  t.insert("w0", EntryNumbers{1, 2, 3, 4});
  t.insert("w4", cases[0]);
  t.insert("w1", cases[1]);
  CHECK(same(*t.lookup("w0"), EntryNumbers{1, 2, 3, 4}));
  CHECK(same(*t.lookup("w4"), cases[0]));
  CHECK(same(*t.lookup("w1"), cases[1]));
  t.insert("w5", EntryNumbers{7, 8, 9, 10});
  CHECK(same(*t.lookup("w5"), EntryNumbers{7, 8, 9, 10}));
  CHECK(!t.lookup("w6") && t.size() == 6);
}

// The entries of a FASTA text, as scanning it finds them.
Result<std::vector<IndexEntry>> scan_fasta(std::string_view text) {
  auto listing = scan_fasta_listing(text);
  if (!listing) return std::move(listing).error();
  return listing_entries(*listing);
}

std::vector<IndexEntry> scan_ok(const std::string& text) {
  auto r = scan_fasta(text);
  if (!CHECK(r.ok())) {
    std::fprintf(stderr, "  %s\n", error_text(r.error()).c_str());
    return {};
  }
  return *r;
}

void test_scan() {
  auto e = scan_ok(">chr1 description\nACGT\nAC\n");
  if (CHECK_EQ(e.size(), 1u)) {
    CHECK_EQ(e[0].name, "chr1");
    CHECK(e[0].numbers.rlen == 6 && e[0].numbers.offset == 18 && e[0].numbers.lenc == 4 &&
          e[0].numbers.lenb == 5);
  }
  e = scan_ok(">chr1 description\r\nACGT\r\nAC\r\n");
  CHECK(e.size() == 1 && e[0].numbers.offset == 19 && e[0].numbers.lenb == 6 && e[0].numbers.rlen == 6);
  e = scan_ok(">a\nACGT");
  CHECK(e.size() == 1 && e[0].numbers.rlen == 4 && e[0].numbers.offset == 3 && e[0].numbers.lenb == 4);
  e = scan_ok("junk\n>  \nACGT\n>b\n>c\nAA\n\n\n>b\nA\n");
  if (CHECK_EQ(e.size(), 3u)) {
    CHECK_EQ(e[0].name, "b");
    CHECK_EQ(e[0].numbers.rlen, 0u);
    CHECK_EQ(e[1].name, "c");
    CHECK_EQ(e[2].numbers.rlen, 1u);
  }
  CHECK(scan_ok("").empty());
  // Header names end at the first white space, whichever byte comes after the ASCII run.
  const std::pair<std::string, std::string> headers[] = {
      {">scaffold_0123456789abcdef\tx", "scaffold_0123456789abcdef"},
      {">scaffold_0123456789ab\xc2\xa0x", "scaffold_0123456789ab"},
      {">scaffold_0123456789abcdef\x01z y", "scaffold_0123456789abcdef\x01z"},
      {">\x0bscaffold_0123456789abcdefgh", "scaffold_0123456789abcdefgh"},
      {">caf\xc3\xa9_0123456789abcdefgh\x0cq", "caf\xc3\xa9_0123456789abcdefgh"}};
  for (const auto& [header, name] : headers) {
    e = scan_ok(header + "\nAC\n");
    if (CHECK_EQ(e.size(), 1u)) CHECK_EQ(e[0].name, name);
  }
  // A long line spanning several scan slices.
  e = scan_ok(">big\n" + std::string(3 << 20, 'A') + "\n");
  CHECK(e.size() == 1 && e[0].numbers.rlen == (3u << 20));
}

void test_scan_refuses_ragged_records() {
  for (const char* bad : {">r\nACGT\nAC\nACGT\n", ">r\nACGT\nACGTA\n", ">r\nACGT\n\nACGT\n",
                          ">r\n\nACGT\n", ">r\nACGT\r\nACGT\nAC\n", ">r\nAC\nAC\nA\nA\n"}) {
    auto r = scan_fasta(bad);
    if (CHECK(!r.ok())) {
      CHECK_EQ(error_text(r.error()), "FastaIndexingError: Different line length in sequence 'r'");
    }
  }
  // Valid: trailing blank lines, a short last line, CR LF, blank record, last line without LF.
  for (const char* good : {">r\nACGT\nAC\n\n\n", ">r\r\nACGT\r\nACGT\r\nA\r\n", ">r\n\n\n>s\nA\n",
                           ">r\nACGT\nACGT", ">r\nACGT\nACGT\n>s\nAC\nA\n"}) {
    CHECK(scan_fasta(good).ok());
  }
  // A CR among the residues would shift every position after it.
  for (const char* bad : {">r\nAC\rGT\n", ">r\nACGT\r\nA\rGT\r\nAC\r\n", ">r\nACGT\nA\rG\n"}) {
    auto cr = scan_fasta(bad);
    if (CHECK(!cr.ok())) {
      CHECK_EQ(error_text(cr.error()),
               "FastaIndexingError: Carriage return inside a line of sequence 'r'");
    }
  }
  CHECK(scan_fasta(">r\rx\nACGT\r\r\nAC\r").ok());  // in a header or a terminator
  auto r = scan_fasta(">r\nACGT\n\xc3\n");
  CHECK(!r.ok() && error_text(r.error()) == "IOError: stream did not contain valid UTF-8");
}

// The scan rules written as plainly as possible, one line at a time.
bool reference_scan(const std::string& text, std::vector<IndexEntry>* out) {
  std::string name;
  EntryNumbers cur;
  std::uint64_t lines = 0, pos = 0;
  bool ended = false;
  auto finish = [&] {
    if (!name.empty()) out->push_back({name, cur});
    name.clear();
  };
  for (std::size_t i = 0; i < text.size();) {
    std::size_t j = text.find('\n', i);
    j = j == std::string::npos ? text.size() : j + 1;
    const std::string line = text.substr(i, j - i);
    pos += line.size();
    i = j;
    if (line[0] == '>') {
      finish();
      std::size_t a = 1;
      while (a < line.size() && std::isspace(static_cast<unsigned char>(line[a]))) ++a;
      std::size_t b = a;
      while (b < line.size() && !std::isspace(static_cast<unsigned char>(line[b]))) ++b;
      name = line.substr(a, b - a);
      cur = EntryNumbers{0, pos, 0, 0};
      lines = 0;
      ended = false;
      continue;
    }
    if (name.empty()) continue;
    std::size_t n = line.size();
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
    if (lines == 0) {
      cur.lenc = n;
      cur.lenb = line.size();
      ended = n == 0;
    } else if (ended && n > 0) {
      return false;
    } else if (n > cur.lenc) {
      return false;
    } else if (n < cur.lenc || line.size() != cur.lenb) {
      ended = true;
    }
    cur.rlen += n;
    ++lines;
  }
  finish();
  return true;
}

void test_scan_matches_reference() {
  std::uint64_t state = 12345;
  auto next = [&](std::uint64_t n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % n;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int records = 1 + static_cast<int>(next(4));
    for (int r = 0; r < records; ++r) {
      text += next(10) == 0 ? "> \n" : ">r" + std::to_string(r) + (next(2) ? " desc\n" : "\n");
      const std::string nl = next(3) == 0 ? "\r\n" : "\n";
      const std::uint64_t width = 1 + next(90);
      const std::uint64_t lines = next(200);
      for (std::uint64_t l = 0; l < lines; ++l) {
        std::uint64_t w = width;
        if (next(150) == 0) w = next(width + 2);  // now and then a ragged line
        for (std::uint64_t k = 0; k < w; ++k) text.push_back("ACGTN"[next(5)]);
        text += next(400) == 0 ? "\r\r\n" : nl;
      }
      if (lines && next(2)) text += std::string(next(width), 'A');  // short last line
      if (next(4) == 0) text += nl + nl;
    }
    if (next(5) == 0 && !text.empty()) text.pop_back();
    std::vector<IndexEntry> expect;
    const bool ok = reference_scan(text, &expect);
    auto got = scan_fasta(text);
    // Scanned in two parts split at a header near the middle, the text gives the same entries
    // or the same (first) error.
    auto split = scan_fasta_listing(text, 1);
    if (CHECK_EQ(split.ok(), got.ok())) {
      if (got.ok()) {
        const std::vector<IndexEntry> parts = listing_entries(*split);
        CHECK(parts.size() == got->size() &&
              std::equal(parts.begin(), parts.end(), got->begin(), [](auto& x, auto& y) {
                return x.name == y.name && x.numbers == y.numbers;
              }));
      } else {
        CHECK_EQ(error_text(split.error()), error_text(got.error()));
      }
    }
    if (!CHECK_EQ(got.ok(), ok)) continue;
    if (!ok) continue;
    if (!CHECK_EQ(got->size(), expect.size())) continue;
    for (std::size_t i = 0; i < expect.size(); ++i) {
      const EntryNumbers& a = (*got)[i].numbers;
      const EntryNumbers& b = expect[i].numbers;
      CHECK((*got)[i].name == expect[i].name && a.rlen == b.rlen && a.offset == b.offset &&
            a.lenc == b.lenc && a.lenb == b.lenb);
    }
  }
}

void test_extract_from_map() {
  const std::string fa = ">r\nACGTA\nCGTAC\nGT\n";
  const EntryNumbers e{12, 3, 5, 6};
  CHECK_EQ(extract_sequence_from_mmap(fa, e, 1, 12), "ACGTACGTACGT");
  CHECK_EQ(extract_sequence_from_mmap(fa, e, 4, 5), "TACGT");
  CHECK_EQ(extract_sequence_from_mmap(fa, e, 12, 1), "T");
  CHECK_EQ(extract_sequence_from_mmap(fa, e, 12, 5), "T");  // the file ends first
  // A stale or hand-written entry never reads outside the map nor wraps around.
  CHECK_EQ(extract_sequence_from_mmap(fa, EntryNumbers{UINT64_MAX, UINT64_MAX - 2, 5, 6}, 3, 10),
           "");
  CHECK_EQ(extract_sequence_from_mmap(fa, EntryNumbers{UINT64_MAX, 3, 5, UINT64_MAX}, UINT64_MAX,
                                      UINT64_MAX),
           "");
  CHECK_EQ(extract_sequence_from_mmap(fa, EntryNumbers{UINT64_MAX, 3, 5, 2}, 1, UINT64_MAX),
           "ACGTACGTACGT");
  CHECK_EQ(extract_sequence_from_mmap(fa, EntryNumbers{12, 3, 0, 6}, 1, 4), "");
  // CR bytes anywhere are skipped, like LF.
  CHECK_EQ(extract_sequence_from_mmap(">r\r\nAC\rGT\r\nAC\r\n", EntryNumbers{6, 4, 5, 7}, 1, 6),
           "ACGTAC");
}

// The byte walk the readers must equal: from the first residue's byte, skip CR and LF, stop at
// `n` residues or at the end of the span.
std::string byte_walk(const std::string& fa, const EntryNumbers& e, std::uint64_t s,
                      std::uint64_t n) {
  const std::uint64_t a = residue_offset(e, s);
  std::string expect;
  if (a >= fa.size()) return expect;
  const std::uint64_t lines = (n + e.lenc - 1) / e.lenc;
  const std::uint64_t stop =
      std::min<std::uint64_t>(a + n + e.lenb + lines * (e.lenb - e.lenc), fa.size());
  for (std::uint64_t i = a; i < stop && expect.size() < n; ++i) {
    if (fa[i] != '\r' && fa[i] != '\n') expect.push_back(fa[i]);
  }
  return expect;
}

void test_extract_matches_byte_walk() {
  // Irregular files (terminators where the index does not expect them), and regular ones whose
  // lines the reader may copy by arithmetic, under several line layouts.
  std::string irregular = ">r\n";
  for (int i = 0; i < 400; ++i) {
    irregular.push_back("ACGTN"[i % 5]);
    if (i % 37 == 3) irregular += "\r\n";
    if (i % 41 == 0) irregular += "\n";
  }
  auto regular = [](std::uint64_t width, const std::string& nl, bool stray) {
    std::string fa = ">r" + nl;
    for (int i = 0; i < 400; ++i) {
      fa.push_back("ACGTN"[i % 5]);
      if (stray && i == 150) fa.push_back('\r');  // a CR inside a line
      if ((i + 1) % width == 0) fa += nl;
    }
    return fa;
  };
  const std::pair<std::string, EntryNumbers> cases[] = {
      {irregular, {400, 3, 9, 11}},          {irregular, {400, 3, 17, 18}},
      {irregular, {400, 3, 20, 22}},         {regular(16, "\n", false), {400, 3, 16, 17}},
      {regular(60, "\r\n", false), {400, 4, 60, 62}}, {regular(60, "\n", true), {400, 3, 60, 61}},
      {regular(60, "\n", false), {400, 3, 61, 62}},  // an index that does not fit the file
  };
  for (const auto& [fa, e] : cases) {
    for (std::uint64_t s = 1; s <= 400; s += 7) {
      for (std::uint64_t n : {1, 2, 15, 16, 17, 59, 60, 61, 100, 250, 500}) {
        CHECK_EQ(extract_sequence_from_mmap(fa, e, s, n), byte_walk(fa, e, s, n));
      }
    }
  }
}

void test_extract_through_descriptor() {
  char path[] = "/tmp/tavlo_extract_XXXXXX";
  const int fd = ::mkstemp(path);
  if (!CHECK(fd >= 0)) return;
  const std::string fa = ">r\nACGTA\nCGTAC\nGT\n";
  CHECK(write_all(fd, fa.data(), fa.size()).ok());
  const EntryNumbers e{12, 3, 5, 6};
  auto r = extract_sequence_from_file_optimized(fd, e, 4, 5);
  CHECK(r.ok() && *r == "TACGT");
  r = extract_sequence_from_file_optimized(fd, e, 1, UINT64_MAX);  // bogus count: no huge buffer
  CHECK(r.ok() && *r == "ACGTACGTACGT");
  r = extract_sequence_from_file_optimized(-1, e, 1, 3);
  CHECK(!r.ok() && error_text(r.error()) == "IOError: No file handle available");
  ::close(fd);
  r = extract_sequence_from_file_optimized(fd, e, 1, 3);
  CHECK(!r.ok() && error_text(r.error()) == "IOError: Bad file descriptor (os error 9)");
  ::unlink(path);
}

void test_write_fai_is_atomic() {
  char dir[] = "/tmp/tavlo_fai_XXXXXX";
  if (!CHECK(::mkdtemp(dir) != nullptr)) return;
  const std::string path = std::string(dir) + "/x.fai";
  NameTable entries;
  entries.append("chr1", {6, 18, 4, 5});
  CHECK(write_fai(path, entries).ok());
  std::string back;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY));
  CHECK(read_all(fd.get(), back).ok());
  CHECK_EQ(back, "chr1\t6\t18\t4\t5\n");
  // A failed write leaves no temporary file behind.
  const std::string missing = std::string(dir) + "/no/such/dir.fai";
  Status s = write_fai(missing, entries);
  CHECK(!s.ok() && error_text(s.error()) == "IOError: No such file or directory (os error 2)");
  ::unlink(path.c_str());
  CHECK_EQ(::rmdir(dir), 0);  // empty: no temporary file left
}

// An index large enough to be parsed from a map reads as its bytes parse; a bad line deep in it
// fails the same way.
void test_read_large_fai() {
  char dir[] = "/tmp/tavlo_bigfai_XXXXXX";
  if (!CHECK(::mkdtemp(dir) != nullptr)) return;
  const std::string path = std::string(dir) + "/x.fai";
  std::string text;
  for (int i = 0; i < 60000; ++i) {
    text += "seq" + std::to_string(i) + "\t" + std::to_string(i * 7) + "\t" +
            std::to_string(i * 1000 + 6) + "\t60\t61\n";
  }
  for (bool damaged : {false, true}) {
    if (damaged) text.insert(text.size() - 100, "x");
    {
      FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      CHECK(write_all(fd.get(), text.data(), text.size()));
    }
    NameTable read, parsed;
    Status r = read_fai(path, read);
    Status p = parse_fai(text, parsed);
    CHECK_EQ(r.ok(), p.ok());
    if (!r.ok()) {
      CHECK_EQ(error_text(r.error()), error_text(p.error()));
      continue;
    }
    CHECK_EQ(read.size(), 60000u);
    CHECK_EQ(read.size(), parsed.size());
    for (std::size_t i : {0u, 12345u, 59999u}) {
      CHECK_EQ(read.name_at(i), parsed.name_at(i));
      CHECK(read.numbers_at(i) == parsed.numbers_at(i));
    }
  }
  ::unlink(path.c_str());
  ::rmdir(dir);
}

// A file truncated under the map: reads past its new end, on several threads at once, fail with
// the changed-file error instead of a bus error; the process goes on.
void test_file_shrunk_under_map() {
  char dir[] = "/tmp/tavlo_shrink_XXXXXX";
  if (!CHECK(::mkdtemp(dir) != nullptr)) return;
  const std::string path = std::string(dir) + "/x.fa";
  std::string fa = ">r\n";
  for (int i = 0; i < 4000; ++i) fa += std::string(60, "ACGT"[i % 4]) + "\n";
  {
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    CHECK(write_all(fd.get(), fa.data(), fa.size()).ok());
  }
  FaidxOptions opt;
  opt.filename = path;
  auto fx = Faidx::open(opt);
  if (!CHECK(fx.ok())) return;
  CHECK(::truncate(path.c_str(), 100) == 0);
  std::vector<std::string> texts(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      SequenceRecord out;
      Status r = (*fx)->fetch_single_optimized(out, "r", *(*fx)->names().lookup("r"),
                                               200000 - t * 1000, 200100);
      texts[t] = r.ok() ? "returned" : error_text(r.error());
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& text : texts) {
    CHECK_EQ(text, "IOError: " + path +
                       " changed while open: it is shorter than when it was opened (open it "
                       "again to read it)");
  }
  Warnings warnings;
  CHECK(!(*fx)->fetch("r", 1, 10, warnings).ok());  // the zero pages may back any read now
  fx = FaidxError::io("closed");
  ::unlink(path.c_str());
  ::unlink((path + ".fai").c_str());
  CHECK_EQ(::rmdir(dir), 0);
}

// The same read made on a worker of the pool reaches the guard too: a worker that blocked the
// bus error would be killed with the process instead.
void test_shrunk_map_read_on_worker() {
  if (worker_count() < 2) return;
  char path[] = "/tmp/tavlo_worker_shrink_XXXXXX";
  FileDescriptor fd(::mkstemp(path));
  constexpr std::size_t kSize = 1 << 20;
  if (!CHECK(fd && ::ftruncate(fd.get(), kSize) == 0)) return;
  void* m = ::mmap(nullptr, kSize, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (!CHECK(m != MAP_FAILED)) return;
  const char* map = static_cast<const char*>(m);
  MapGuard guard;
  guard.watch(map, kSize);
  CHECK(::ftruncate(fd.get(), 100) == 0);
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> read{false};
  parallel_for(64, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() != caller) {
      if (!read.exchange(true)) (void)*static_cast<const volatile char*>(map + kSize - 1);
      return;
    }
    // The caller leaves the read to a worker.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!read.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  });
  CHECK(read.load() && guard.changed());
  guard.release();
  ::munmap(m, kSize);
  ::unlink(path);
}

}  // namespace

int main() {
  test_parse_numbers();
  test_parse_fai_lines();
  test_parse_fai_unusual_lines();
  test_format_fai_numbers();
  test_listing_write_and_index();
  test_name_table_growth();
  test_name_table_wide_numbers();
  test_scan();
  test_scan_refuses_ragged_records();
  test_scan_matches_reference();
  test_extract_from_map();
  test_extract_matches_byte_walk();
  test_extract_through_descriptor();
  test_write_fai_is_atomic();
  test_read_large_fai();
  test_file_shrunk_under_map();
  test_shrunk_map_read_on_worker();
  return tavlo::check::summary();
}
