// Compressed remote files: the BGZF and gzip readers over the block cache, the compressed bytes a
// batch's regions need, and the one pass that builds a missing .gzi or checkpoint index.
#include <sys/stat.h>

#include <algorithm>

#include "faidx/bgzf.hpp"
#include "faidx/extract.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"
#include "faidx/remote/remote_source.hpp"

namespace tavlo {

namespace {

// Batches hand over the byte ranges of this many regions at most at a time: each is looked up in
// the index, and the rest wait for the next wave anyway.
constexpr std::size_t kMapAtOnce = 4096;

// What the readers know of the object's size and time: its size (the time is the cache's
// business, through the object's ETag and Last-Modified).
struct stat object_stat(const RemoteBytes& bytes) {
  struct stat st {};
  st.st_size = static_cast<off_t>(bytes.version().size);
  return st;
}

// Both readers take the text ranges of a batch; `Map` turns one into the compressed bytes its
// read walks through.
template <class Reader, class Map>
class RemoteCompressedSource final : public Source {
 public:
  template <class Index>
  RemoteCompressedSource(std::shared_ptr<RemoteBytes> bytes, Index&& index)
      : bytes_(std::move(bytes)), reader_(make(*bytes_, std::forward<Index>(index))) {}

  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    if (count > 0 && start > 0 && e.lenc > 0) {
      // Every block the region's inflation reads, in one request: a single fetch costs one
      // round trip (none inside a batch, whose blocks are ready).
      const ByteRange text{residue_offset(e, start), region_span_bytes(e, count)};
      if (Status s = bytes_->ensure(Map()(reader_, bytes_->version().size, text)); !s) return s;
    }
    return extract_sequence_from_text(reader_, e, start, count, out);
  }

  bool wants_file_order() const override { return true; }
  bool fetches_ahead() const override { return true; }

  std::size_t prepare(std::span<const ByteRange> ranges) const override {
    std::vector<ByteRange> compressed(std::min(ranges.size(), kMapAtOnce));
    for (std::size_t k = 0; k < compressed.size(); ++k) {
      const ByteRange r = ranges[k];
      compressed[k] = r.length == 0 ? r : Map()(reader_, bytes_->version().size, r);
    }
    return bytes_->prepare(compressed);
  }

 private:
  static Reader make(const RemoteBytes& b, std::vector<GziEntry> gzi) {
    return Reader(b.bytes(), std::move(gzi));
  }
  static Reader make(const RemoteBytes& b, GzipIndex index) {
    return Reader(b.bytes(), object_stat(b), std::move(index));
  }

  std::shared_ptr<RemoteBytes> bytes_;
  Reader reader_;
};

// BGZF: from the block that holds the range's first byte to the end of the block that holds its
// last one (where the next pair starts; past the last pair, as far as a block may reach).
struct BgzfRange {
  ByteRange operator()(const BgzfReader& reader, std::uint64_t size, ByteRange r) const {
    const auto& pairs = reader.pairs();
    // The pair after the block holding text offset u (pair k is pairs[k - 1], pair 0 is (0, 0)).
    const auto after = [&](std::uint64_t u) {
      return static_cast<std::size_t>(
          std::upper_bound(pairs.begin(), pairs.end(), u,
                           [](std::uint64_t v, const GziEntry& e) { return v < e.uoff; }) -
          pairs.begin());
    };
    const std::size_t i = after(r.offset), j = after(r.offset + r.length - 1);
    const std::uint64_t a = i == 0 ? 0 : pairs[i - 1].coff;
    const std::uint64_t b = j < pairs.size()
                                ? pairs[j].coff
                                : std::min(size, (j == 0 ? 0 : pairs[j - 1].coff) + kBgzfMaxBlock);
    return {a, b > a ? b - a : 0};
  }
};

// Plain gzip: from the checkpoint at or before the range (its block header when it has one) to a
// read's worth past the checkpoint after it, where inflation stops.
struct GzipRange {
  ByteRange operator()(const GzipReader& reader, std::uint64_t size, ByteRange r) const {
    const auto& pts = reader.index().points;
    const auto point_of = [&](std::uint64_t u) {
      auto it = std::upper_bound(pts.begin(), pts.end(), u,
                                 [](std::uint64_t v, const GzipPoint& p) { return v < p.uoff; });
      return static_cast<std::size_t>(std::max<std::ptrdiff_t>(it - pts.begin() - 1, 0));
    };
    const GzipPoint& p = pts[point_of(r.offset)];
    const std::uint64_t a = (p.header_len > 0 ? std::min(p.header_at, p.bit) : p.bit) / 8;
    const std::size_t next = point_of(r.offset + r.length - 1) + 1;
    const std::uint64_t b =
        next < pts.size() ? std::min(size, pts[next].bit / 8 + 2 * kRemoteBlock) : size;
    return {a, b > a ? b - a : 0};
  }
};

}  // namespace

Result<std::unique_ptr<Source>> make_remote_compressed_source(std::shared_ptr<RemoteBytes> bytes,
                                                              bool bgzf, std::string_view index,
                                                              const std::string& index_name,
                                                              bool check) {
  const std::uint64_t size = bytes->version().size;
  const auto not_its_own = [&] {
    return FaidxError::io("the index " + index_name + " was not made from " +
                          bytes->client().shown() + " as it is now");
  };
  if (bgzf) {
    auto pairs = parse_gzi(index);
    if (!pairs) return FaidxError::io(pairs.error().text + " " + index_name);
    if (!pairs->empty() && pairs->back().coff >= size) return not_its_own();
    // One made elsewhere may list only some blocks (made before the object grew): that would cut
    // the last records short. A look at the blocks after its last pair tells.
    if (check) {
      if (Status s = BgzfReader(bytes->bytes(), *pairs).covers_file(); !s) {
        return FaidxError::io(index_name + ": " + s.error().text);
      }
    }
    return std::unique_ptr<Source>(new RemoteCompressedSource<BgzfReader, BgzfRange>(
        std::move(bytes), std::move(*pairs)));
  }
  auto parsed = parse_gzip_index(index);
  if (!parsed) return FaidxError::io(parsed.error().text + " " + index_name);
  if (parsed->compressed_size != size || parsed->points.empty()) return not_its_own();
  return std::unique_ptr<Source>(new RemoteCompressedSource<GzipReader, GzipRange>(
      std::move(bytes), std::move(*parsed)));
}

Result<RemoteIndexBuild> build_remote_index(const RemoteBytes& bytes, bool bgzf, bool scan,
                                            bool bytewise) {
  RemoteIndexBuild out;
  if (bgzf) {
    auto walked = scan_bgzf(bytes.bytes(), scan, bytewise);
    if (!walked) return std::move(walked).error();
    out.index = format_gzi(walked->gzi);
    out.listing = std::move(walked->listing);
  } else {
    auto built = build_gzip_index(bytes.bytes(), object_stat(bytes), scan, bytewise);
    if (!built) return std::move(built).error();
    out.index = format_gzip_index(built->index);
    out.listing = std::move(built->listing);
  }
  return out;
}

}  // namespace tavlo
