// Fuzz target for checkpoint indexes of plain gzip files: the input is an index file (ours or
// GZIDX) as it is, or the true index of a fixed gzip file with bytes changed (and its checksum
// then made right again, so that the damage reaches the points). Whatever parses must format
// back to the same points, and reads of the fixed file through it must give an error value or
// residues, never a crash, a hang or a read outside a buffer; reads through the true index (or
// through some of its points only) must give exactly the residues of the plain text. A damaged
// copy of a fixed file must make the building pass fail with an error value or index exactly the
// plain text. Stored windows as given must decode to an error value or to a window.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "faidx/extract.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"
#include "faidx/window_codec.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::EntryNumbers;

// One deflated member of `text` at `level`.
std::string member(const std::string& text, int level) {
  z_stream z{};
  FUZZ_REQUIRE(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string out("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
  std::string body(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(body.data());
  z.avail_out = static_cast<uInt>(body.size());
  FUZZ_REQUIRE(deflate(&z, Z_FINISH) == Z_STREAM_END);
  body.resize(z.total_out);
  deflateEnd(&z);
  out += body;
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
  for (std::uint32_t v : {crc, static_cast<std::uint32_t>(text.size())}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  }
  return out;
}

// The fixed file: a wrapped pseudo-random text of two records in three members (one cut inside
// a line), long enough for several checkpoints, and its true index.
struct Fixture {
  std::string text, file, index_bytes;
  std::string runs_text, runs_file;  // a run of N long enough for blocks of megabytes
  struct stat st{};
  Fixture() {
    std::uint32_t x = 12345;
    for (const char* name : {">a\n", ">b\n"}) {
      text += name;
      for (int line = 0; line < 8000; ++line) {
        for (int i = 0; i < 60; ++i) {
          x = x * 1103515245u + 12345u;
          // Soft-masked stretches and a few N: most windows are packed, some Huffman-coded.
          char c = (x >> 24) % 61 == 0 ? 'N' : "ACGT"[(x >> 16) % 4];
          if ((line / 25) % 3 == 1) c = static_cast<char>(c | 0x20);
          text.push_back(c);
        }
        text.push_back('\n');
      }
    }
    file = member(text.substr(0, 300001), 6) + member(text.substr(300001, 90000), 1) +
           member(text.substr(390001), 9);
    st.st_size = static_cast<off_t>(file.size());
    auto built = tavlo::build_gzip_index({file.data(), -1, file.size()}, st, false);
    FUZZ_REQUIRE(built.ok());
    FUZZ_REQUIRE(built->index.points.size() >= 3);
    index_bytes = tavlo::format_gzip_index(built->index);
    runs_text = ">r\n" + text.substr(3, 6100);
    for (int line = 0; line < 25000; ++line) runs_text += std::string(60, 'N') + "\n";
    runs_text += text.substr(3, 6100);
    runs_file = member(runs_text, 6);
  }
};

// Builds the index of one of the fixed files with a few bytes changed; when that succeeds, the
// index must be the file's and read its text.
template <typename Regions>
void build_damaged(const Fixture& fx, FuzzedDataProvider& fdp, const Regions& regions) {
  const bool runs = fdp.ConsumeBool();
  std::string file = runs ? fx.runs_file : fx.file;
  const std::string& text = runs ? fx.runs_text : fx.text;
  for (int n = fdp.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    const auto at = fdp.ConsumeIntegralInRange<std::size_t>(0, file.size() - 1);
    file[at] = static_cast<char>(file[at] ^ fdp.ConsumeIntegralInRange<std::uint8_t>(1, 255));
  }
  struct stat st = fx.st;
  st.st_size = static_cast<off_t>(file.size());
  auto built = tavlo::build_gzip_index({file.data(), -1, file.size()}, st, fdp.ConsumeBool());
  if (!built.ok()) return;
  FUZZ_REQUIRE(built->index.text_size == text.size());
  tavlo::GzipReader reader({file.data(), -1, file.size()}, st, std::move(built->index));
  for (const auto& [e, where] : regions) {
    std::string got;
    const tavlo::Status s =
        tavlo::extract_sequence_from_text(reader, e, where.first, where.second, got);
    FUZZ_REQUIRE(s.ok());
    FUZZ_REQUIRE(got == tavlo::extract_sequence_from_mmap(text, e, where.first, where.second));
  }
}

void put_crc(std::string& bytes) {
  if (bytes.size() < 64 || bytes.compare(0, 5, "GZIDX") == 0) return;
  const auto crc = static_cast<std::uint32_t>(crc32(
      0, reinterpret_cast<const Bytef*>(bytes.data() + 64), static_cast<uInt>(bytes.size() - 64)));
  for (int i = 0; i < 4; ++i) bytes[56 + i] = static_cast<char>(crc >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Fixture fx;
  FuzzedDataProvider fdp(data, size);
  // The index as given; the true one changed; the true one; the true one thinned out (long
  // stretches between its points); a damaged file indexed; a stored window as given.
  const int mode = fdp.ConsumeIntegralInRange(0, 5);
  if (mode == 5) {
    const auto len = fdp.ConsumeIntegralInRange<std::uint32_t>(0, tavlo::kGzipWindow);
    const std::string stored = fdp.ConsumeRemainingBytesAsString();
    std::string out;
    if (tavlo::decode_window(stored, len, true, out)) FUZZ_REQUIRE(out.size() == len);
    return 0;
  }
  const unsigned keep_every = fdp.ConsumeIntegralInRange(1u, 8u);
  std::vector<std::pair<EntryNumbers, std::pair<std::uint64_t, std::uint64_t>>> regions;
  for (int n = fdp.ConsumeIntegralInRange(1, 4); n > 0; --n) {
    EntryNumbers e;
    e.offset = fdp.ConsumeIntegralInRange<std::uint64_t>(0, fx.text.size() + 10);
    e.lenc = fdp.ConsumeIntegralInRange<std::uint64_t>(0, 70);
    e.lenb = e.lenc + fdp.ConsumeIntegralInRange<std::uint64_t>(0, 2);
    e.rlen = fdp.ConsumeIntegralInRange<std::uint64_t>(0, fx.text.size());
    const auto start = fdp.ConsumeIntegralInRange<std::uint64_t>(0, e.rlen + 1);
    regions.push_back({e, {start, fdp.ConsumeIntegralInRange<std::uint64_t>(0, 5000)}});
  }
  if (mode == 4) {
    build_damaged(fx, fdp, regions);
    return 0;
  }
  std::string bytes;
  if (mode == 0) {
    bytes = fdp.ConsumeRemainingBytesAsString();
  } else {
    bytes = fx.index_bytes;
    while (mode == 1 && fdp.remaining_bytes() >= 3) {
      const auto at = fdp.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1);
      bytes[at] = static_cast<char>(bytes[at] ^ fdp.ConsumeIntegralInRange<std::uint8_t>(1, 255));
    }
    if (mode == 1 && fdp.ConsumeBool()) put_crc(bytes);
  }
  auto parsed = tavlo::parse_gzip_index(bytes);
  if (!parsed.ok()) return 0;
  if (!parsed->raw_windows) {
    auto again = tavlo::parse_gzip_index(tavlo::format_gzip_index(*parsed));
    FUZZ_REQUIRE(again.ok() && again->points.size() == parsed->points.size());
    for (std::size_t i = 0; i < parsed->points.size(); ++i) {
      FUZZ_REQUIRE(again->points[i].bit == parsed->points[i].bit &&
                   again->points[i].uoff == parsed->points[i].uoff);
    }
  }
  const bool truthful = mode >= 2;
  if (mode == 3) {
    std::vector<tavlo::GzipPoint> kept;
    for (std::size_t i = 0; i < parsed->points.size(); i += keep_every) {
      kept.push_back(parsed->points[i]);
    }
    parsed->points = std::move(kept);
  }
  tavlo::GzipReader reader({fx.file.data(), -1, fx.file.size()}, fx.st, std::move(*parsed));
  for (const auto& [e, where] : regions) {
    std::string got;
    const tavlo::Status s =
        tavlo::extract_sequence_from_text(reader, e, where.first, where.second, got);
    if (truthful) {
      FUZZ_REQUIRE(s.ok());
      FUZZ_REQUIRE(got == tavlo::extract_sequence_from_mmap(fx.text, e, where.first, where.second));
    }
  }
  return 0;
}
