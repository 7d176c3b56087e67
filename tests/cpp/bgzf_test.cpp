// Unit tests of the BGZF layer: headers, checked inflation, .gzi bytes, the reader and the scan.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "faidx/bgzf.hpp"
#include "faidx/faidx.hpp"
#include "faidx/file_io.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"
#include "faidx/window_codec.hpp"
#include "faidx/scan.hpp"

using namespace tavlo;

namespace {

std::uint32_t crc32_of(std::string_view s) {
  std::uint32_t c = 0xffffffffu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void put16(std::string& s, std::uint32_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8 & 0xff));
}
void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xffff);
  put16(s, v >> 16);
}

// A block holding `payload` as one stored deflate block (no compression needed to write it).
std::string block(std::string_view payload) {
  std::string data = "\x01";
  put16(data, static_cast<std::uint32_t>(payload.size()));
  put16(data, static_cast<std::uint32_t>(~payload.size() & 0xffff));
  data.append(payload);
  std::string b("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
  put16(b, static_cast<std::uint32_t>(18 + data.size() + 8 - 1));
  b += data;
  put32(b, crc32_of(payload));
  put32(b, static_cast<std::uint32_t>(payload.size()));
  return b;
}

std::string failure(const Status& s) {
  return s.ok() ? "" : const_cast<Status&>(s).error().payload();
}

void test_headers() {
  const std::string b = block("ACGT");
  auto h = parse_bgzf_header(b, 0);
  CHECK(h.ok() && h->header_size == 18 && h->block_size == b.size());
  CHECK(is_bgzf(b) && !is_bgzf("\x1f\x8b\x08\x00\0\0\0\0\0\x03"));
  for (std::size_t n = 0; n < 18; ++n) CHECK(!parse_bgzf_header(b.substr(0, n), 7).ok());
  CHECK_EQ(parse_bgzf_header(b.substr(0, 10), 7).error().payload(),
           "truncated BGZF block at compressed offset 7");
  // BC after another subfield is found; FNAME and a missing BC are refused.
  std::string other("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x0b\0XY\x01\0zBC\x02\0", 21);
  put16(other, 40);
  CHECK(parse_bgzf_header(other, 0).ok() && parse_bgzf_header(other, 0)->header_size == 23);
  std::string named = b;
  named[3] = 0x0c;
  CHECK_EQ(parse_bgzf_header(named, 3).error().payload(),
           "invalid BGZF block header at compressed offset 3");
  std::string tiny = b;
  tiny[16] = 20;  // a block too small to hold its own header and trailer
  tiny[17] = 0;
  CHECK(!parse_bgzf_header(tiny, 0).ok());
}

void test_inflate_checks() {
  std::string out;
  CHECK(inflate_bgzf_block(block("ACGTN"), 0, out).ok() && out == "ACGTN");
  CHECK(inflate_bgzf_block(block(""), 0, out).ok() && out.empty());
  // A string reused with room for less than the block: it ends up exactly the block's size.
  out.reserve(40000);
  CHECK(inflate_bgzf_block(block(std::string(50000, 'C')), 0, out).ok() &&
        out == std::string(50000, 'C'));
  const std::string good = block(std::string(3000, 'A'));
  std::string bad = good;
  bad[bad.size() - 8] ^= 1;
  CHECK_EQ(failure(inflate_bgzf_block(bad, 99, out)),
           "corrupt BGZF block (CRC32 mismatch) at compressed offset 99");
  for (std::uint32_t isize : {2999u, 3001u}) {
    bad = good;
    bad.resize(bad.size() - 4);
    put32(bad, isize);
    CHECK_EQ(failure(inflate_bgzf_block(bad, 5, out)),
             "corrupt BGZF block (uncompressed size mismatch) at compressed offset 5");
  }
  bad = good;
  bad.resize(bad.size() - 4);
  put32(bad, 70000);
  CHECK(!inflate_bgzf_block(bad, 0, out).ok());
  bad = good;
  bad[18] = 0x07;  // reserved deflate block type
  CHECK_EQ(failure(inflate_bgzf_block(bad, 0, out)),
           "corrupt BGZF block (bad deflate data) at compressed offset 0");
  CHECK_EQ(failure(inflate_bgzf_block(good.substr(0, good.size() - 1), 4, out)),
           "truncated BGZF block at compressed offset 4");
}

void test_gzi_bytes() {
  const std::vector<GziEntry> e = {{100, 65280}, {200, 65280 * 2}, {260, 65280 * 2 + 1}};
  const std::string bytes = format_gzi(e);
  CHECK_EQ(bytes.size(), 8u + 16 * 3);
  auto back = parse_gzi(bytes);
  CHECK(back.ok() && back->size() == 3 && (*back)[2].coff == 260 && (*back)[2].uoff == 130561);
  CHECK(parse_gzi(format_gzi({})).ok());
  CHECK(!parse_gzi(bytes.substr(0, bytes.size() - 1)).ok());
  CHECK(!parse_gzi(bytes + std::string(16, '\0')).ok());
  CHECK(!parse_gzi(std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8)).ok());
  CHECK(!parse_gzi(format_gzi({{100, 5}, {100, 6}})).ok());      // same block twice
  CHECK(!parse_gzi(format_gzi({{100, 5}, {200, 4}})).ok());      // text going backwards
  CHECK(!parse_gzi(format_gzi({{100, 65537}})).ok());            // more than a block holds
}

// A text cut into blocks of the given sizes, with an empty block after every third one.
struct Blocked {
  std::string file;
  std::vector<GziEntry> gzi;
};

Blocked make_blocked(const std::string& text, const std::vector<std::size_t>& sizes) {
  Blocked b;
  std::size_t at = 0;
  for (std::size_t k = 0; at < text.size(); ++k) {
    const std::size_t n = std::min(sizes[k % sizes.size()], text.size() - at);
    if (at > 0) b.gzi.push_back(GziEntry{b.file.size(), at});
    b.file += block(text.substr(at, n));
    if (k % 3 == 2) b.file += block("");
    at += n;
  }
  b.file += block("");
  return b;
}

void test_reader_and_scan() {
  std::mt19937 rng(5);
  std::string text;
  for (int r = 0; r < 6; ++r) {
    text += ">r" + std::to_string(r) + "\n";
    const int len = static_cast<int>(rng() % 400);
    for (int i = 0; i < len; ++i) {
      text.push_back("ACGT"[rng() % 4]);
      if (i % 50 == 49 || i == len - 1) text.push_back('\n');
    }
  }
  const Blocked b = make_blocked(text, {97, 1, 300, 64});
  const BgzfReader reader({b.file.data(), -1, b.file.size()}, b.gzi);
  // Several threads share the cache; each result is its own. Two of them walk the text in
  // order, so that their misses inflate the next blocks too.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 r(t);
      for (int i = 0; i < 2000; ++i) {
        const std::size_t a = t < 2 ? r() % text.size() : (i * 37u) % text.size();
        const std::size_t n = r() % 200;
        std::string out, want;
        CHECK(reader.append_text(a, a + n, n, out).ok());
        for (char c : text.substr(a, n)) {
          if (c != '\n') want.push_back(c);
        }
        if (!CHECK_EQ(out, want)) return;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (bool inflate : {false, true}) {
    auto scan = scan_bgzf({b.file.data(), -1, b.file.size()}, inflate);
    if (!CHECK(scan.ok())) return;
    CHECK_EQ(format_gzi(scan->gzi), format_gzi(b.gzi));
    if (inflate) {
      auto want = scan_fasta_listing(text);
      CHECK(want.ok() && want->size() == scan->listing.size());
      for (std::size_t i = 0; i < scan->listing.size(); ++i) {
        CHECK_EQ(scan->listing.name_at(i), want->name_at(i));
        CHECK(scan->listing.numbers_at(i) == want->numbers_at(i));
      }
    }
  }
  // A damaged block read ahead fails only the fetch that needs it.
  Blocked damaged = make_blocked(text, {300});
  damaged.file[damaged.gzi[0].coff - 8] ^= 1;  // the CRC32 of the first block
  damaged.file[damaged.gzi[1].coff - 8] ^= 1;  // and of the second
  {
    const BgzfReader walk({damaged.file.data(), -1, damaged.file.size()}, damaged.gzi);
    std::string out;
    CHECK(!walk.append_text(0, 10, 10, out).ok());
    CHECK_EQ(failure(walk.append_text(0, 10, 10, out)),
             "corrupt BGZF block (CRC32 mismatch) at compressed offset 0");
  }
  damaged.file[damaged.gzi[0].coff - 8] ^= 1;
  const BgzfReader walk({damaged.file.data(), -1, damaged.file.size()}, damaged.gzi);
  std::string out;
  CHECK(walk.append_text(0, 10, 10, out).ok() && out == ">r0" + text.substr(4, 6));
  out.clear();
  const std::uint64_t second = damaged.gzi[0].uoff;
  CHECK_EQ(failure(walk.append_text(second, second + 10, 10, out)),
           "corrupt BGZF block (CRC32 mismatch) at compressed offset " +
               std::to_string(damaged.gzi[0].coff));
  // Bytes after the last block that are no block at all.
  const std::string tail = b.file + "junk";
  CHECK(!scan_bgzf({tail.data(), -1, tail.size()}, false).ok());
}

// A text of several stretches of the index scan: wrapped lines, a line longer than the room kept
// for a partial line, and an unwrapped record that goes on over stretches; then a block damaged
// in a later stretch.
void test_scan_over_stretches() {
  std::mt19937 rng(7);
  std::string text;
  auto record = [&](const std::string& name, std::size_t len, std::size_t width) {
    text += ">" + name + "\n";
    for (std::size_t i = 0; i < len; ++i) {
      text.push_back("ACGT"[rng() % 4]);
      if (i % width == width - 1 || i == len - 1) text.push_back('\n');
    }
  };
  record("wrapped", 3'000'000, 60);
  record("long", 1'500'000, 150'000);
  record("unwrapped", 9'000'000, 9'000'000);
  record("tail", 100, 60);
  Blocked b = make_blocked(text, {65000, 17, 40000});
  auto scan = scan_bgzf({b.file.data(), -1, b.file.size()}, true);
  auto want = scan_fasta_listing(text);
  if (!CHECK(scan.ok() && want.ok() && want->size() == scan->listing.size())) return;
  CHECK_EQ(format_gzi(scan->gzi), format_gzi(b.gzi));
  for (std::size_t i = 0; i < want->size(); ++i) {
    CHECK_EQ(scan->listing.name_at(i), want->name_at(i));
    CHECK(scan->listing.numbers_at(i) == want->numbers_at(i));
  }
  const GziEntry late = b.gzi[b.gzi.size() / 2];
  b.file[late.coff + b.file.size() % 7 + 30] ^= 1;
  auto bad = scan_bgzf({b.file.data(), -1, b.file.size()}, true);
  CHECK_EQ(bad.ok() ? "" : bad.error().payload(),
           "corrupt BGZF block (CRC32 mismatch) at compressed offset " + std::to_string(late.coff));
}

// The residues-only fetch gives what the record fetch does, through the map, the descriptor and
// BGZF blocks, for clamped, empty and refused regions, with padding and upper-casing on.
void test_fetch_residues_matches_record_fetch() {
  char dir[] = "/tmp/tavlo_residues_XXXXXX";
  if (!CHECK(::mkdtemp(dir) != nullptr)) return;
  std::string text = ">a\n";
  for (int i = 0; i < 700; ++i) {
    text.push_back("ACGTacgtN"[i % 9]);
    if (i % 60 == 59 || i == 699) text.push_back('\n');
  }
  text += ">b\nAcGt\n";
  const std::string plain = std::string(dir) + "/p.fa", packed = std::string(dir) + "/z.fa.gz";
  const Blocked b = make_blocked(text, {300, 7, 120});
  for (const auto& [path, bytes] : {std::pair{plain, text}, std::pair{packed, b.file}}) {
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    CHECK(write_all(fd.get(), bytes.data(), bytes.size()).ok());
  }
  const std::uint64_t coords[] = {0, 1, 2, 59, 60, 61, 333, 699, 700, 701, 5000};
  for (const std::string& path : {plain, packed}) {
    for (int mode = 0; mode < 3; ++mode) {
      FaidxOptions opt;
      opt.filename = path;
      opt.mutable_file = mode == 1;  // no map: every read goes through the descriptor
      opt.strict_bounds = mode == 2;
      if (mode == 0) opt.default_seq = "n";
      opt.sequence_always_upper = mode != 1;
      auto fx = Faidx::open(opt);
      if (!CHECK(fx.ok())) continue;
      std::string seq = "stale";
      for (const char* name : {"a", "b"}) {
        const EntryNumbers e = *(*fx)->names().lookup(name);
        for (std::uint64_t s : coords) {
          for (std::uint64_t t : coords) {
            SequenceRecord rec;
            Status q = (*fx)->fetch_single_optimized(rec, name, e, s, t);
            Warnings none;
            auto span = resolve(name, e.rlen, s, t, BoundsPolicy::quiet, opt.strict_bounds, none);
            Status r = span ? (*fx)->fill(e, *span, seq) : Status(std::move(span).error());
            if (!CHECK_EQ(r.ok(), q.ok())) return;
            if (q.ok()) {
              if (!CHECK_EQ(seq, rec.seq)) return;
            } else {
              CHECK_EQ(r.error().display(), q.error().display());
            }
          }
        }
      }
    }
  }
  for (const std::string& f : {plain, plain + ".fai", packed, packed + ".fai", packed + ".gzi"}) {
    ::unlink(f.c_str());
  }
  CHECK_EQ(::rmdir(dir), 0);
}

}  // namespace

// A plain gzip file's one pass, on two threads where there are two processors: the index, its
// listing and reads through it match the text, with a long run of N in blocks of megabytes.
void test_gzip_build() {
  std::mt19937 rng(7);
  std::string text;
  for (const char* name : {">a\n", ">b\n"}) {
    text += name;
    for (int line = 0; line < 30000; ++line) {
      for (int i = 0; i < 60; ++i) text.push_back(line < 10000 ? "ACGT"[rng() % 4] : 'N');
      text.push_back('\n');
    }
  }
  z_stream z{};
  CHECK(deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string file(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(text.data());
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(file.data());
  z.avail_out = static_cast<uInt>(file.size());
  CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
  file.resize(z.total_out);
  deflateEnd(&z);
  struct stat st {};
  st.st_size = static_cast<off_t>(file.size());
  for (const bool scan : {true, false}) {
    auto built = build_gzip_index({file.data(), -1, file.size()}, st, scan);
    CHECK(built.ok());
    if (!built.ok()) return;
    CHECK(built->index.text_size == text.size());
    CHECK(built->index.points.size() > 4);
    CHECK(built->listing.size() == (scan ? 2u : 0u));
    GzipIndex index = std::move(built->index);
    if (!scan) {  // as a version 1 index, whose windows are raw deflate, through its file format
      std::string windows, w;
      for (GzipPoint& p : index.points) {
        CHECK(load_window(index, p, w).ok());
        uLongf size = compressBound(static_cast<uLong>(w.size()));
        std::string d(size, '\0');
        CHECK(compress2(reinterpret_cast<Bytef*>(d.data()), &size,
                        reinterpret_cast<const Bytef*>(w.data()), w.size(), 6) == Z_OK);
        d = w.empty() ? std::string() : d.substr(2, size - 6);  // the zlib wrapping off
        p.window_at = windows.size();
        p.window_size = static_cast<std::uint32_t>(d.size());
        windows += d;
      }
      index.windows = windows;
      index.coded_windows = false;
      const std::string bytes = format_gzip_index(index);
      CHECK(bytes[8] == 1);
      auto parsed = parse_gzip_index(bytes);
      CHECK(parsed.ok() && !parsed->coded_windows);
      if (parsed.ok()) index = std::move(*parsed);
    }
    GzipReader reader({file.data(), -1, file.size()}, st, std::move(index));
    for (std::uint64_t a = 0; a < text.size(); a += 777'777) {
      std::string got;
      CHECK(reader.append_text(a, a + 5000, 5000, got).ok());
      std::string want;
      for (char c : text.substr(a, 5000)) {
        if (c != '\n') want.push_back(c);
      }
      CHECK(got == want);
    }
  }
}

// Windows of every kind come back exactly: packed nucleotides with lowercase stretches across
// lines, runs of N and headers, protein (Huffman-coded), bytes that no coding shrinks; a packed
// window with any byte changed decodes to an error or to some text, never out of bounds.
void test_window_codings() {
  std::mt19937 rng(11);
  std::string dna, protein, noise;
  for (int i = 0; i < 32768; ++i) {
    const char base = "ACGT"[rng() % 4];
    dna.push_back(i % 61 == 60 ? '\n' : (i / 700) % 3 == 1 ? static_cast<char>(base | 0x20) : base);
    protein.push_back(i % 61 == 60 ? '\n' : "ACDEFGHIKLMNPQRSTVWY"[rng() % 20]);
    noise.push_back(static_cast<char>(rng()));
  }
  dna.replace(5000, 3000, 3000, 'N');
  dna.replace(20000, 14, ">chr2 second\n");
  const std::string texts[] = {dna, dna.substr(0, 4099), dna.substr(7001, 3), std::string(),
                               std::string(9000, 'a'), protein, noise};
  for (const std::string& text : texts) {
    std::string stored, back;
    const auto n = static_cast<std::uint32_t>(text.size());
    const std::uint32_t size =
        store_window(reinterpret_cast<const unsigned char*>(text.data()), n, stored);
    CHECK(size == stored.size());
    CHECK(size <= n);
    if (size == n) {
      CHECK(stored == text);
      continue;
    }
    CHECK(decode_window(stored, n, true, back));
    CHECK(back == text);
  }
  std::string stored, back;
  store_window(reinterpret_cast<const unsigned char*>(dna.data()), 32768, stored);
  CHECK(stored[0] == static_cast<char>(kWindowPacked));
  CHECK(stored.size() < 32768 / 4 + 200);
  for (std::size_t i = 0; i < stored.size(); i += 7) {
    std::string bad = stored;
    bad[i] = static_cast<char>(bad[i] ^ (1 << (i % 8)));
    if (decode_window(bad, 32768, true, back)) CHECK(back.size() == 32768);
  }
  CHECK(!decode_window(stored.substr(0, stored.size() - 1), 32768, true, back));
}

int main() {
  test_headers();
  test_window_codings();
  test_inflate_checks();
  test_gzi_bytes();
  test_reader_and_scan();
  test_scan_over_stretches();
  test_fetch_residues_matches_record_fetch();
  test_gzip_build();
  std::printf("inflating with %s\n", bgzf_inflater());
  return tavlo::check::summary();
}
