// The Sequence record: the value every fetch and every derivation produces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavlo {

struct SequenceRecord {
  std::string name;
  std::string seq;
  std::optional<std::uint64_t> start;
  std::optional<std::uint64_t> end;
  bool comp = false;

  // "name", "name:start-end" when both coordinates are present, plus " (complement)" when comp.
  std::string fancy_name() const;
};

}  // namespace tavlo
