// Sequence kernels against byte-at-a-time reference models: every length and alignment
// around the word sizes of the SIMD and portable paths, large outputs, broken UTF-8, and indices
// out of their ranges. The statistics are checked against a model by the Python tests.
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "sequence/ops.hpp"
#include "sequence/record.hpp"

namespace {

using tavlo::SequenceRecord;

std::string random_text(std::mt19937_64& rng, std::size_t n, std::string_view alphabet) {
  std::string s(n, '\0');
  for (auto& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

// --- Reference models: one byte at a time, as plainly as possible. -----------------------------

std::string ref_complement(std::string_view s) {
  std::string out;
  for (char c : s) out += tavlo::COMPLEMENT_TABLE[static_cast<unsigned char>(c)];
  return out;
}

std::string ref_reverse(std::string_view s) { return std::string(s.rbegin(), s.rend()); }

// --- Tests ---------------------------------------------------------------------------------------

// Every length from 0 to 70 at every start alignment crosses the 32-byte SIMD and 8-byte portable
// loops and their tails.
void test_text_kernels_all_lengths() {
  std::mt19937_64 rng(1);
  const std::string pool = random_text(rng, 80, "ACGTNacgtnRYKMBVDHSWXU-*");
  for (std::size_t off = 0; off < 8; ++off) {
    for (std::size_t n = 0; off + n <= 78 && n <= 70; ++n) {
      const std::string_view s(pool.data() + off, n);
      if (!CHECK_EQ(tavlo::complement_text(s), ref_complement(s))) return;
      if (!CHECK_EQ(tavlo::reverse_text(s), ref_reverse(s))) return;
      if (!CHECK_EQ(tavlo::reverse_complement_text(s), ref_reverse(ref_complement(s)))) return;
      CHECK(tavlo::is_ascii(s));
    }
  }
}

// Outputs of several megabytes are built on huge pages; a non-ASCII character far into the text
// makes the reverse read its bytes back as text.
void test_large_outputs() {
  std::mt19937_64 rng(3);
  std::string s = random_text(rng, (std::size_t{5} << 20) + 13, "ACGTNacgtnRYSW-");
  std::string comp(s.size(), '\0');
  for (std::size_t i = 0; i < s.size(); ++i) {
    comp[i] = tavlo::COMPLEMENT_TABLE[static_cast<unsigned char>(s[i])];
  }
  const std::string rev(s.rbegin(), s.rend());
  const std::string revcomp(comp.rbegin(), comp.rend());
  CHECK(tavlo::complement_text(s) == comp);
  CHECK(tavlo::reverse_text(s) == rev);
  CHECK(tavlo::reverse_complement_text(s) == revcomp);
  const auto r = SequenceRecord{"x", s, 1, s.size(), false};
  CHECK(tavlo::slice(r, 1, static_cast<std::int64_t>(s.size()), 1).seq == s.substr(1));
  s[s.size() - 100] = '\xC3';
  s[s.size() - 99] = '\xA9';
  CHECK(tavlo::complement_text(s) == ref_complement(s));
  const std::string cut = std::string(s.rbegin(), s.rend());
  CHECK(tavlo::reverse_text(s) == cut.substr(0, 98) + "\xC2\xA9\xC3\x83" + cut.substr(100));
}

// Non-ASCII characters (and broken UTF-8, which a fetch can hand over) anywhere in the text.
void test_text_kernels_non_ascii() {
  // Each text with its reverse: bytes of cut characters come back as U+0080-U+00FF.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xC3\xA9", "\xC2\xA9\xC3\x83"},                                    // é
      {"AC\xC3\xA9GT", "TG\xC2\xA9\xC3\x83" "CA"},
      {"ACGTACGT\xE2\x82\xAC", "\xC2\xAC\xC2\x82\xC3\xA2TGCATGCA"},       // € after a word
      {"\xF0\x9F\xA7\xAC" "ACGTACGTACGT",
       "TGCATGCATGCA\xC2\xAC\xC2\xA7\xC2\x9F\xC3\xB0"},                     // 4 bytes first
      {"\x80\x80" "AC", "CA\xC2\x80\xC2\x80"},                               // not UTF-8
      {"AC\xC3", "\xC3\x83" "CA"},
      {"\xFF\xFE" "ACGT\xBF", "\xC2\xBFTGCA\xC3\xBE\xC3\xBF"},
  };
  for (const auto& [s, reversed] : cases) {
    CHECK(!tavlo::is_ascii(s));
    CHECK_EQ(tavlo::complement_text(s), ref_complement(s));
    CHECK_EQ(tavlo::reverse_text(s), reversed);
    CHECK_EQ(tavlo::reverse_complement_text(s), ref_reverse(ref_complement(s)));
    CHECK(tavlo::is_ascii(tavlo::complement_text(s)));
  }
  CHECK_EQ(tavlo::bytes_as_text("A\xE2\x82\xAC"), "A\xE2\x82\xAC");  // valid: unchanged
}

SequenceRecord rec(std::string seq, std::optional<std::uint64_t> start,
                   std::optional<std::uint64_t> end, bool comp = false) {
  return SequenceRecord{"chr1", std::move(seq), start, end, comp};
}

// Callers outside the Python layer (the record facade) hand in indices they computed themselves:
// out-of-range values are clamped, never read past the text.
void test_slice_clamps_indices() {
  const auto r = rec("ACGTACGT", 101, 108);
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  CHECK_EQ(tavlo::slice(r, -5, 100, 1).seq, "ACGTACGT");
  CHECK_EQ(tavlo::slice(r, 100, -5, -1).seq, "TGCATGCA");
  CHECK_EQ(tavlo::slice(r, 0, 8, kMax).seq, "A");
  CHECK_EQ(tavlo::slice(r, 7, -1, kMin).seq, "T");
  CHECK_EQ(tavlo::slice(r, 0, 8, 0).seq, "ACGTACGT");
  CHECK_EQ(tavlo::slice(r, kMin, kMax, 3).seq, "ATG");
  // An empty run (b = a) with a step beyond 1 must not compute a count from hi < lo.
  const auto empty_run = tavlo::slice(r, -1, -1, -2);
  CHECK(empty_run.seq.empty() && empty_run.start == 101u && empty_run.end == 100u);
  CHECK_EQ(tavlo::slice(r, 3, 3, -3, false).seq, "");
  CHECK_EQ(tavlo::at(r, 8).seq, "");
  CHECK_EQ(tavlo::at(r, -1).seq, "");
  // Indices count bytes; a byte cut from its character stands for the character of its value.
  const auto u = rec("A\xC3\xA9G\xE2\x82\xAC", 1, 7);
  CHECK_EQ(tavlo::slice(u, 1, 4, 1).seq, "\xC3\xA9G");
  CHECK_EQ(tavlo::slice(u, 6, -1, -3).seq, "\xC2\xAC" "G" "A");
  CHECK_EQ(tavlo::slice(u, 0, 99, 1).seq, u.seq);
  CHECK_EQ(tavlo::slice(u, 0, 2, 1).seq, "A\xC3\x83");
  CHECK_EQ(tavlo::at(u, 1).seq, "\xC3\x83");
  CHECK_EQ(tavlo::at(u, 3).seq, "G");
  CHECK_EQ(tavlo::at(u, 7).seq, "");
}

// Coordinates leave 0 .. 2^64 - 1 as absent values, never wrapped ones.
void test_coordinates_at_the_ends_of_the_range() {
  constexpr auto kTop = std::numeric_limits<std::uint64_t>::max();
  const auto zero = rec("ACGT", 0, 3);
  auto e = tavlo::slice(zero, 0, 0, 1);
  CHECK_EQ(e.start, std::optional<std::uint64_t>(0));
  CHECK(!e.end);
  e = tavlo::slice(zero, -1, 2, -1);  // a start before the first letter selects nothing
  CHECK(e.seq.empty() && !e.start && !e.end);
  e = tavlo::slice(rec("ACGT", 5, 8), -1, 2, -1);
  CHECK(e.start == 4u && e.end == 3u);
  const auto top = rec("ACGT", kTop - 1, kTop);
  auto t = tavlo::slice(top, 1, 3, 1);
  CHECK(t.start == kTop && !t.end);
  t = tavlo::at(top, 2);
  CHECK(t.seq == "G" && !t.start && !t.end);
  t = tavlo::at(top, 1);
  CHECK(t.start == kTop && t.end == kTop);
}

}  // namespace

int main() {
  for (bool simd : {true, false}) {
    tavlo::detail::use_simd(simd);
    test_text_kernels_all_lengths();
    test_text_kernels_non_ascii();
    test_large_outputs();
  }
  test_slice_clamps_indices();
  test_coordinates_at_the_ends_of_the_range();
  return tavlo::check::summary();
}
