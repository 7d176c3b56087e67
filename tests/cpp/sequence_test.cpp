// Sequence kernels against character-at-a-time reference models: every length and alignment
// around the word sizes of the SIMD and portable paths, large outputs, broken UTF-8, and indices
// out of their ranges. The statistics are checked against a model by the Python tests.
#include <cstdint>
#include <limits>
#include <random>
#include <string>
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

// --- Reference models: one byte (or one character) at a time, as plainly as possible. ---------

std::vector<std::string> chars_of(std::string_view s) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool cont = (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
    if (i == 0 || !cont) out.emplace_back();
    out.back() += s[i];
  }
  return out;
}

std::string ref_complement(std::string_view s) {
  std::string out;
  for (const auto& c : chars_of(s)) {
    out += c.size() == 1 ? tavlo::COMPLEMENT_TABLE[static_cast<unsigned char>(c[0])] : 'N';
  }
  return out;
}

std::string ref_reverse(std::string_view s) {
  std::string out;
  auto cs = chars_of(s);
  for (auto it = cs.rbegin(); it != cs.rend(); ++it) out += *it;
  return out;
}

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

// Outputs of several megabytes are built on huge pages; a non-ASCII character far into
// the text sends every kernel back to the per-character path.
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
  CHECK(tavlo::complement_text(s).size() == s.size() - 1);
  std::string rev_chars(s.rbegin(), s.rend());
  std::swap(rev_chars[98], rev_chars[99]);  // the two bytes of the character keep their order
  CHECK(tavlo::reverse_text(s) == rev_chars);
}

// Non-ASCII characters (and broken UTF-8, which a fetch can hand over) anywhere in the text.
void test_text_kernels_non_ascii() {
  const std::vector<std::string> cases = {
      "\xC3\xA9",                        // é
      "AC\xC3\xA9GT",                    //
      "ACGTACGT\xE2\x82\xAC",            // € after a full word
      "\xF0\x9F\xA7\xAC" "ACGTACGTACGT",  // 4-byte character first
      "\x80\x80" "AC",                   // starts with continuation bytes
      "AC\xC3",                          // ends inside a character
      "\xFF\xFE" "ACGT\xBF",
  };
  for (const auto& s : cases) {
    CHECK(!tavlo::is_ascii(s));
    CHECK_EQ(tavlo::char_count(s), chars_of(s).size());
    CHECK_EQ(tavlo::complement_text(s), ref_complement(s));
    CHECK_EQ(tavlo::reverse_text(s), ref_reverse(s));
    CHECK_EQ(tavlo::reverse_complement_text(s), ref_reverse(ref_complement(s)));
    CHECK(tavlo::is_ascii(tavlo::complement_text(s)));
  }
  CHECK_EQ(tavlo::char_count(""), 0u);
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
  CHECK_EQ(tavlo::at(r, 8, true).seq, "");
  CHECK_EQ(tavlo::at(r, -1, false).seq, "");
  // Indices that count characters, not bytes.
  const auto u = rec("A\xC3\xA9G\xE2\x82\xAC", 1, 6);
  CHECK_EQ(tavlo::slice(u, 1, 3, 1).seq, "\xC3\xA9G");
  CHECK_EQ(tavlo::slice(u, 3, -1, -2).seq, "\xE2\x82\xAC\xC3\xA9");
  CHECK_EQ(tavlo::slice(u, 0, 99, 1).seq, u.seq);
  CHECK_EQ(tavlo::at(u, 1, false).seq, "\xC3\xA9");
  CHECK_EQ(tavlo::at(u, 3, false).seq, "\xE2\x82\xAC");
  CHECK_EQ(tavlo::at(u, 4, false).seq, "");
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
  t = tavlo::at(top, 2, true);
  CHECK(t.seq == "G" && !t.start && !t.end);
  t = tavlo::at(top, 1, true);
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
