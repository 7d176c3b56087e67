// The Sequence record's display name.
#include "sequence/record.hpp"

namespace tavlo {

std::string SequenceRecord::fancy_name() const {
  std::string out = name;
  if (start && end) {
    out += ':';
    out += std::to_string(*start);
    out += '-';
    out += std::to_string(*end);
  }
  if (comp) out += " (complement)";
  return out;
}

}  // namespace tavlo
