// The bounds rule of every fetch.
#include "faidx/bounds.hpp"

#include <algorithm>

namespace tavlo {

namespace {

// A refusal: under strict bounds the error, otherwise a warning and the region as it is.
Result<Span> refuse(bool strict, std::string text, Warnings& warnings, std::uint64_t start,
                    std::uint64_t end) {
  if (strict) return FaidxError::of(ErrorKind::Bounds, std::move(text));
  warnings.add(std::move(text));
  return Span{start, end, 0};
}

Result<Span> resolve_checked(std::string_view name, std::uint64_t rlen, std::uint64_t start,
                             std::uint64_t end, bool strict, Warnings& warnings) {
  if (start > rlen || end > rlen) {
    std::string text = "coordinates " + std::to_string(start) + "-" + std::to_string(end) +
                       " are out of bounds for sequence '";
    text.append(name);
    text += "' of length " + std::to_string(rlen);
    if (strict) return FaidxError::of(ErrorKind::Bounds, std::move(text));
    warnings.add(std::move(text));
    if (start > rlen) return Span{start, start, 0};
    end = rlen;
  }
  if (start == 0 || end == 0) {
    return refuse(strict, "coordinates cannot be 0 (1-based indexing)", warnings, start, end);
  }
  if (start > end) {
    return refuse(strict,
                  "start coordinate " + std::to_string(start) + " is greater than end coordinate " +
                      std::to_string(end),
                  warnings, start, end);
  }
  return Span{start, end, end - start + 1};
}

[[gnu::cold]] FaidxError invalid_region(std::string_view name, std::uint64_t rlen,
                                        std::uint64_t start, std::uint64_t end) {
  std::string text = "Invalid region ";
  text.append(name);
  text += ":" + std::to_string(start) + "-" + std::to_string(end) +
          " (sequence length: " + std::to_string(rlen) + ")";
  return FaidxError::of(ErrorKind::Region, std::move(text));
}

}  // namespace

Result<Span> resolve_outside(std::string_view name, std::uint64_t rlen, std::uint64_t start,
                             std::uint64_t end, BoundsPolicy policy, bool strict,
                             Warnings& warnings) {
  if (policy == BoundsPolicy::checked) {
    return resolve_checked(name, rlen, start, end, strict, warnings);
  }
  if (strict) return invalid_region(name, rlen, start, end);
  const std::uint64_t s = std::min(rlen, std::max<std::uint64_t>(start, 1));
  const std::uint64_t e = std::min(rlen, std::max<std::uint64_t>(end, 1));
  return Span{s, e, e < s ? 0 : e - s + 1};
}

WindowSpan resolve_window(std::int64_t start, std::uint64_t width, std::uint64_t rlen) {
  WindowSpan r;
  if (width == 0) return r;
  // Unsigned arithmetic: 1 - start and start + width - 1 wrap for no start a caller can give.
  const auto s = static_cast<std::uint64_t>(start);
  if (start < 1) {
    r.left = std::min<std::uint64_t>(width, 1 - s);
    if (r.left == width) return r;
    r.first = 1;
  } else {
    r.first = s;
  }
  const std::uint64_t last = s + (width - 1);  // >= 1 here
  if (r.first > rlen) return r;
  r.span = std::min(last, rlen) - r.first + 1;
  return r;
}

}  // namespace tavlo
