// Fills array rows from fixed-width windows: each window resolved into left padding, residues
// and right padding, the residues read through the Faidx and encoded straight into the row.
#include "faidx/array_fill.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "faidx/extract.hpp"
#include "faidx/batch.hpp"
#include "faidx/pool.hpp"

namespace tavlo {

namespace {

// Rows are handed out this many residues' worth at a time: a chunk of some 64 KiB of output keeps
// the hand-out cost small and bounds how long a stop waits for the chunks in flight.
constexpr std::uint64_t kChunkResidues = 1 << 16;
// Below this many residues in all, the batch is filled on the calling thread.
constexpr std::uint64_t kParallelResidues = 1 << 18;

class Filler {
 public:
  Filler(const Faidx& fx, const RowEncoder& encoder, const ArrayWindows& w, unsigned char* out)
      : fx_(fx), enc_(encoder), w_(w), out_(out), row_bytes_(encoder.row_bytes(w.width)) {
    const auto& fill = fx.options().default_seq;
    if (fill && !fill->empty()) default_seq_ = &*fill;
  }

  // Takes the rows in this order instead of 0, 1, 2...: `order` must outlive the filler.
  void set_order(const std::vector<std::size_t>* order) { order_ = order; }

  // Fills the rows of positions [begin, end) of the order; false once a row failed (recorded in
  // the filler).
  bool fill(std::size_t begin, std::size_t end, std::string& scratch) {
    for (std::size_t k = begin; k < end; ++k) {
      // Hints the lines of a window a few rows ahead, so that their cache misses overlap.
      if (k + kAhead < end) hint(row_at(k + kAhead));
      const std::size_t i = row_at(k);
      Status s = fill_row(i, scratch);
      if (!s) [[unlikely]] {
        fail(i, std::move(s).error());
        return false;
      }
    }
    return true;
  }

  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  Status result() {
    if (!error_) return Ok{};
    return std::move(*error_);
  }

 private:
  static constexpr std::size_t kAhead = 4;

  std::size_t row_at(std::size_t k) const { return order_ != nullptr ? (*order_)[k] : k; }

  void hint(std::size_t i) const {
    const EntryNumbers e = fx_.names().numbers_at(w_.records[i]);
    const WindowSpan r = resolve_window(w_.starts[i], w_.width, e.rlen);
    if (r.span != 0) fx_.source().prefetch(e, r.first, r.first + r.span - 1, 4096);
  }

  Status fill_row(std::size_t i, std::string& scratch) const {
    unsigned char* row = out_ + i * row_bytes_;
    const std::uint64_t width = w_.width;
    const EntryNumbers e = fx_.names().numbers_at(w_.records[i]);
    const WindowSpan r = resolve_window(w_.starts[i], width, e.rlen);
    std::uint64_t got = 0;
    if (r.span != 0) {
      if (Status s = fx_.source().read(e, r.first, r.span, scratch); !s) return s;
      got = std::min<std::uint64_t>(scratch.size(), r.span);
      if (got < r.span && default_seq_ != nullptr) {
        // As the fetches do: the residues that the index promises but the file lacks.
        const std::string& fill = *default_seq_;
        scratch.resize(got);
        for (std::uint64_t k = 0; got + k < r.span; ++k) scratch.push_back(fill[k % fill.size()]);
        got = r.span;
      }
    }
    const bool reverse = w_.reverse_rows != nullptr ? w_.reverse_rows[i] != 0 : w_.reverse;
    write_row(enc_, row, width, r.left, reinterpret_cast<const unsigned char*>(scratch.data()),
              got, reverse);
    return Ok{};
  }

  void fail(std::size_t row, FaidxError error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_ || row < error_row_) {
      error_ = std::move(error);
      error_row_ = row;
    }
    failed_.store(true, std::memory_order_relaxed);
  }

  const Faidx& fx_;
  const RowEncoder& enc_;
  const ArrayWindows& w_;
  unsigned char* const out_;
  const std::size_t row_bytes_;
  const std::string* default_seq_ = nullptr;
  const std::vector<std::size_t>* order_ = nullptr;
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::optional<FaidxError> error_;
  std::size_t error_row_ = 0;
};

// The rows by the file offset of their first residue: a compressed file's blocks then inflate
// once each and serve every window in them from the reader's cache.
std::vector<std::size_t> file_order(const Faidx& fx, const ArrayWindows& w) {
  std::vector<std::pair<std::uint64_t, std::size_t>> keys(w.count);
  for (std::size_t i = 0; i < w.count; ++i) {
    const EntryNumbers e = fx.names().numbers_at(w.records[i]);
    const WindowSpan r = resolve_window(w.starts[i], w.width, e.rlen);
    keys[i] = {r.span == 0 || e.lenc == 0 ? e.offset : residue_offset(e, r.first), i};
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::size_t> order(w.count);
  for (std::size_t i = 0; i < w.count; ++i) order[i] = keys[i].second;
  return order;
}

}  // namespace

void write_row(const RowEncoder& enc, unsigned char* row, std::uint64_t width,
               std::uint64_t left, const unsigned char* residues, std::uint64_t count,
               bool reverse) {
  const std::uint64_t right = width - left - count;
  enc.begin_row(row, width);
  if (!reverse) {
    enc.pad(row, width, 0, left);
    enc.put(row, width, left, residues, count, false);
    enc.pad(row, width, left + count, right);
  } else {
    // The reverse complement reads the window from its end: the padding past the record comes
    // first, and the padding before position 1 last.
    enc.pad(row, width, 0, right);
    enc.put(row, width, right, residues, count, true);
    enc.pad(row, width, right + count, left);
  }
}

Status check_windows_inside(const Faidx& fx, const ArrayWindows& w) {
  if (w.width == 0) return Ok{};
  const NameTable& names = fx.names();
  for (std::size_t i = 0; i < w.count; ++i) {
    const std::uint64_t rlen = names.numbers_at(w.records[i]).rlen;
    const std::int64_t start = w.starts[i];
    const auto last = static_cast<std::uint64_t>(start) + (w.width - 1);
    if (start >= 1 && last <= rlen) continue;
    std::string text = "window ";
    text.append(names.name_at(w.records[i]));
    text += ":" + std::to_string(start) + "-" +
            std::to_string(static_cast<std::int64_t>(last)) + " (region " + std::to_string(i) +
            ") is out of bounds for a sequence of length " + std::to_string(rlen);
    return FaidxError::of(ErrorKind::Bounds, std::move(text));
  }
  return Ok{};
}

Status fill_windows(const Faidx& fx, const RowEncoder& encoder, const ArrayWindows& w,
                    unsigned char* out, const std::function<bool()>* interrupted,
                    bool* completed) {
  *completed = true;
  if (w.width == 0 || w.count == 0) return Ok{};  // nothing to read or write
  Filler filler(fx, encoder, w, out);
  std::vector<std::size_t> order;
  if (fx.source().wants_file_order()) {
    order = file_order(fx, w);
    filler.set_order(&order);
  }
  const std::uint64_t per_row = std::max<std::uint64_t>(w.width, 1);
  const std::size_t chunk = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(kChunkResidues / per_row, 1, w.count == 0 ? 1 : w.count));
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(w.count), per_row, &total)) {
    total = UINT64_MAX;
  }
  if (total < kParallelResidues || w.count < 2 || inside_parallel_for()) {
    std::string scratch;
    for (std::size_t b = 0; b < w.count; b += chunk) {
      if (interrupted != nullptr && (*interrupted)()) {
        *completed = false;
        return Ok{};
      }
      if (!filler.fill(b, std::min(w.count, b + chunk), scratch)) break;
    }
    return filler.result();
  }
  BatchHooks hooks;
  if (interrupted != nullptr) hooks.interrupted = *interrupted;
  *completed = run_chunks(w.count, chunk, hooks, [&](std::size_t begin, std::size_t end) {
    if (filler.failed()) return;
    std::string scratch;
    filler.fill(begin, end, scratch);
  });
  return filler.result();
}

}  // namespace tavlo
