// Formatting chunks of regions into FASTA text on the worker pool.
#include "cli/format.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "faidx/batch.hpp"

namespace tavlo::cli {

namespace {

// The complement that samtools -i and bedtools -s apply: A/T, C/G, R/Y, K/M, B/V, D/H swap, U
// becomes A, case is kept and every other byte is left as it is. (This differs from the
// module's table, which maps unknown bytes to N.)
constexpr std::array<char, 256> kStrandComplement = [] {
  std::array<char, 256> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<char>(i);
  constexpr std::string_view from = "ACGTRYKMBVDHU";
  constexpr std::string_view to = "TGCAYRMKVBHDA";
  for (std::size_t i = 0; i < from.size(); ++i) {
    t[static_cast<unsigned char>(from[i])] = to[i];
    t[static_cast<unsigned char>(from[i] | 0x20)] = static_cast<char>(to[i] | 0x20);
  }
  return t;
}();

// Writes n bytes of p to dst, reverse-complemented when rc.
void put(char* dst, const char* p, std::size_t n, bool rc) {
  if (!rc) {
    std::memcpy(dst, p, n);
    return;
  }
  const char* src = p + n;
  for (std::size_t i = 0; i < n; ++i) {
    dst[i] = kStrandComplement[static_cast<unsigned char>(*--src)];
  }
}

// Appends `n` residues from `p` (reverse-complemented when `rc`) to `out`, breaking lines every
// `width` residues (0: never). `column` is the number of residues already on the current line
// and is updated.
void append_wrapped(std::string& out, const char* p, std::size_t n, bool rc, std::uint64_t width,
                    std::uint64_t& column) {
  if (n == 0) return;
  std::size_t breaks = 0;
  if (width != 0) breaks = static_cast<std::size_t>((column + n) / width);
  // Grown without zero-filling: every new byte is written below.
  out.resize_and_overwrite(out.size() + n + breaks, [&](char* dst, std::size_t size) {
    std::size_t at = size - n - breaks;
    if (width == 0) {
      put(dst + at, p, n, rc);
      column += n;
      return size;
    }
    // For rc the source is walked from its end: `taken` residues of the output come from the
    // last `taken` bytes of p.
    std::size_t taken = 0;
    while (taken < n) {
      const std::size_t k =
          static_cast<std::size_t>(std::min<std::uint64_t>(width - column, n - taken));
      put(dst + at, rc ? p + (n - taken - k) : p + taken, k, rc);
      at += k;
      taken += k;
      column += k;
      if (column == width) {
        dst[at++] = '\n';
        column = 0;
      }
    }
    return size;
  });
}

// A block of pieces formatted by one task; blocks are cut so that each holds a similar amount
// of residues and the pool can balance them.
constexpr std::size_t kBlockPieces = 512;
constexpr std::uint64_t kBlockResidues = 1 << 19;

// Regions are fetched this many pieces ahead of their turn, every line of them: a short region
// is over before the hardware's own prefetcher starts, so hinting only its first lines left
// most of its cache misses unoverlapped (whole regions halved the fetch time).
constexpr std::size_t kPrefetchAhead = 6;
// Longer regions are hinted up to this many residues: beyond that the copy itself streams.
constexpr std::uint64_t kPrefetchSpan = 4096;

void prefetch_piece(const Faidx& fx, const Piece& pc) {
  if (!pc.entry || pc.last < pc.first) return;
  fx.source().prefetch(*pc.entry, pc.first, pc.last, kPrefetchSpan);
}

void format_block(const Faidx& fx, const Chunk& chunk, const Layout& layout, std::size_t begin,
                  std::size_t end, std::string& out, std::unique_ptr<FaidxError>& error) {
  out.clear();
  std::uint64_t want = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const Piece& pc = chunk.pieces[i];
    if (pc.last >= pc.first) want += pc.last - pc.first + 1;
    if (pc.begins) want += pc.prefix_length;
    want += 2;
  }
  if (layout.width != 0) want += want / layout.width + 1;
  out.reserve(static_cast<std::size_t>(want));
  std::string seq;  // one buffer for the residues of every piece of the block
  for (std::size_t i = begin; i < std::min(end, begin + kPrefetchAhead); ++i) {
    prefetch_piece(fx, chunk.pieces[i]);
  }
  for (std::size_t i = begin; i < end; ++i) {
    const Piece& pc = chunk.pieces[i];
    if (pc.begins) out.append(chunk.prefixes, pc.prefix_offset, pc.prefix_length);
    std::uint64_t column = pc.column;
    if (pc.entry && pc.last >= pc.first) {
      if (i + kPrefetchAhead < end) prefetch_piece(fx, chunk.pieces[i + kPrefetchAhead]);
      const Span span{pc.first, pc.last, pc.last - pc.first + 1};
      if (Status r = fx.fill(*pc.entry, span, seq); !r) {
        error = std::make_unique<FaidxError>(std::move(r).error());
        return;
      }
      append_wrapped(out, seq.data(), seq.size(), pc.rc, layout.width, column);
    }
    if (pc.ends && (layout.line_per_region ||
                    (pc.region_has_residues && (layout.width == 0 || column != 0)))) {
      out.push_back('\n');
    }
  }
}

}  // namespace

Status format_chunk(const Faidx& fx, const Chunk& chunk, const Layout& layout,
                    std::vector<std::string>& buffers, std::size_t& used) {
  // Cut the chunk into blocks.
  std::vector<std::size_t> bounds{0};
  std::uint64_t residues = 0;
  for (std::size_t i = 0; i < chunk.pieces.size(); ++i) {
    const Piece& pc = chunk.pieces[i];
    if (pc.last >= pc.first) residues += pc.last - pc.first + 1;
    if (i + 1 - bounds.back() >= kBlockPieces || residues >= kBlockResidues) {
      bounds.push_back(i + 1);
      residues = 0;
    }
  }
  if (bounds.back() != chunk.pieces.size()) bounds.push_back(chunk.pieces.size());
  used = bounds.size() - 1;
  if (buffers.size() < used) buffers.resize(used);
  std::vector<std::unique_ptr<FaidxError>> errors(used);
  run_chunks(used, 1, BatchHooks{}, [&](std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k) {
      format_block(fx, chunk, layout, bounds[k], bounds[k + 1], buffers[k], errors[k]);
    }
  });
  for (auto& err : errors) {
    if (err) return std::move(*err);
  }
  return Ok{};
}

}  // namespace tavlo::cli
