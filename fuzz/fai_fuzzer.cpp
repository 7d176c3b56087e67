// Fuzz target for the .fai reader: arbitrary text must give the table (or the error) that a
// plain line-by-line reading gives, and what was read must survive being written and read back.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/fai_file.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::EntryNumbers;
using tavlo::IndexEntry;
using tavlo::NameTable;

bool same(const EntryNumbers& a, const EntryNumbers& b) {
  return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb;
}

std::vector<IndexEntry> entries_of(const NameTable& t) {
  std::vector<IndexEntry> out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    out.push_back(IndexEntry{std::string(t.name_at(i)), t.numbers_at(i)});
  }
  return out;
}

// The table must hold exactly `want`, in order, and find each name.
void require_table(const NameTable& t, const std::vector<IndexEntry>& want) {
  FUZZ_REQUIRE(t.size() == want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    FUZZ_REQUIRE(t.name_at(i) == want[i].name);
    FUZZ_REQUIRE(same(t.numbers_at(i), want[i].numbers));
    const auto found = t.lookup(want[i].name);
    FUZZ_REQUIRE(found && same(*found, want[i].numbers));
  }
}

bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool model_number(std::string_view f, std::uint64_t* out) {
  if (!f.empty() && f[0] == '+') f.remove_prefix(1);
  if (f.empty()) return false;
  unsigned __int128 v = 0;
  for (char c : f) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > UINT64_MAX) return false;
  }
  *out = static_cast<std::uint64_t>(v);
  return true;
}

// The reading of an ASCII index, one line at a time: the entries and, on failure, the message.
struct Model {
  std::vector<IndexEntry> entries;
  std::string error;  // empty on success
};

Model model_read(std::string_view text) {
  Model m;
  static const char* const kInvalid[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc",
                                          "Invalid lenb"};
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == text.npos ? text.size() : nl + 1);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && ascii_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && ascii_space(line.back())) line.remove_suffix(1);
    std::vector<std::string_view> fields;
    for (std::size_t from = 0;;) {
      const std::size_t tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == line.npos ? line.npos : tab - from));
      if (tab == line.npos) break;
      from = tab + 1;
    }
    if (fields.size() != 5) continue;
    std::uint64_t v[4];
    for (int i = 0; i < 4; ++i) {
      if (!model_number(fields[i + 1], &v[i])) {
        m.error = kInvalid[i];
        return m;
      }
    }
    const EntryNumbers numbers{v[0], v[1], v[2], v[3]};
    bool replaced = false;
    for (auto& e : m.entries) {
      if (e.name == fields[0]) {
        e.numbers = numbers;  // the last wins, in the place of the first
        replaced = true;
      }
    }
    if (!replaced) m.entries.push_back(IndexEntry{std::string(fields[0]), numbers});
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NameTable table;
  tavlo::Status status = tavlo::parse_fai(text, table);

  bool ascii = true;
  for (char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (ascii && text.size() < 4096) {  // the model is quadratic in the number of names
    const Model m = model_read(text);
    FUZZ_REQUIRE(status.ok() == m.error.empty());
    if (status.ok()) {
      require_table(table, m.entries);
    } else {
      FUZZ_REQUIRE(status.error().kind == tavlo::ErrorKind::FastaIndexing);
      FUZZ_REQUIRE(status.error().text == m.error);
    }
  }
  if (!status) return 0;

  // Written out and read again, the table is unchanged.
  const std::vector<IndexEntry> entries = entries_of(table);
  NameTable again;
  std::string written;
  for (const IndexEntry& e : entries) {
    const EntryNumbers& n = e.numbers;
    written += e.name + "\t" + std::to_string(n.rlen) + "\t" + std::to_string(n.offset) + "\t" +
            std::to_string(n.lenc) + "\t" + std::to_string(n.lenb) + "\n";
  }
  FUZZ_REQUIRE(tavlo::parse_fai(written, again).ok());
  require_table(again, entries);
  return 0;
}
