// Array rows: encoder tables and refusals, and fill_windows on the pool against a row-by-row
// model, through the map and the descriptor, with a stop between chunks.
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "faidx/array_fill.hpp"
#include "faidx/file_io.hpp"
#include "sequence/encode.hpp"

using namespace tavlo;

namespace {

RowEncoder encoder(Encoding e, ElementType t, std::string alphabet = "ACGT",
                   bool channels_first = false) {
  EncodeOptions o;
  o.encoding = e;
  o.element = t;
  o.alphabet = std::move(alphabet);
  o.channels_first = channels_first;
  RowEncoder r;
  std::string why;
  CHECK(RowEncoder::make(o, &r, &why));
  return r;
}

template <class T>
std::vector<T> row_of(const RowEncoder& enc, const std::string& residues, std::uint64_t left,
                      std::uint64_t width, bool reverse) {
  std::vector<T> row(enc.row_bytes(width) / sizeof(T));
  write_row(enc, reinterpret_cast<unsigned char*>(row.data()), width, left,
            reinterpret_cast<const unsigned char*>(residues.data()), residues.size(), reverse);
  return row;
}

void test_encoders() {
  const RowEncoder codes = encoder(Encoding::Codes, ElementType::I16, "acgU");
  CHECK(row_of<std::int16_t>(codes, "gAuTn", 1, 7, false) ==
        (std::vector<std::int16_t>{4, 2, 0, 3, 4, 4, 4}));
  // Reversed: complement of n, t (A), u (no complement: N), A (T), g (C); padding mirrored.
  CHECK(row_of<std::int16_t>(codes, "gAuTn", 1, 7, true) ==
        (std::vector<std::int16_t>{4, 4, 0, 4, 4, 1, 4}));
  const RowEncoder onehot = encoder(Encoding::OneHot, ElementType::F32, "ACGT", true);
  CHECK(row_of<float>(onehot, "Cg", 0, 3, false) ==
        (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}));
  EncodeOptions o;
  o.fill = '.';
  o.upper = true;
  RowEncoder bytes;
  std::string why;
  CHECK(RowEncoder::make(o, &bytes, &why));
  CHECK(row_of<char>(bytes, "acgTz", 2, 8, true) == (std::vector<char>{'.', 'N', 'A', 'C', 'G',
                                                                       'T', '.', '.'}));
  for (const auto& [alphabet, element, encoding] :
       {std::tuple{std::string("AAC"), ElementType::I8, Encoding::Codes},
        std::tuple{std::string("Ac"), ElementType::I8, Encoding::Codes},
        std::tuple{std::string("A1"), ElementType::U8, Encoding::OneHot},
        std::tuple{std::string(""), ElementType::U8, Encoding::OneHot},
        std::tuple{std::string("ACGT"), ElementType::F32, Encoding::Codes},
        std::tuple{std::string("ACGT"), ElementType::I8, Encoding::Bytes}}) {
    o = EncodeOptions{};
    o.encoding = encoding;
    o.element = element;
    o.alphabet = alphabet;
    why.clear();
    CHECK(!RowEncoder::make(o, &bytes, &why) == (alphabet != "Ac"));
  }
}

std::string make_file(std::string* residues) {
  char path[] = "/tmp/tavlo_array_XXXXXX";
  const int fd = ::mkstemp(path);
  std::uint64_t state = 7;
  for (int i = 0; i < 50000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    residues->push_back("ACGTacgtNR"[(state >> 33) % 10]);
  }
  std::string text = ">r\n";
  for (std::size_t i = 0; i < residues->size(); i += 61) text += residues->substr(i, 61) + "\n";
  (void)write_all(fd, text.data(), text.size());
  ::close(fd);
  return path;
}

void test_fill(const std::string& path, const std::string& residues, bool mutable_file) {
  FaidxOptions o;
  o.filename = path;
  o.mutable_file = mutable_file;
  auto fx = Faidx::open(o);
  if (!CHECK(fx.ok())) return;
  const RowEncoder enc = encoder(Encoding::OneHot, ElementType::U8);
  constexpr std::uint64_t kWidth = 300;
  const std::size_t n = 4000;  // 1.2 M residues: on the pool
  std::vector<std::uint32_t> records(n, 0);
  std::vector<std::int64_t> starts(n);
  std::vector<std::uint8_t> reverse(n);
  for (std::size_t i = 0; i < n; ++i) {
    starts[i] = static_cast<std::int64_t>(i * 13 % 50600) - 300;
    reverse[i] = i % 3 == 0;
  }
  ArrayWindows w{n, records.data(), starts.data(), kWidth, reverse.data(), false};
  std::vector<unsigned char> out(n * enc.row_bytes(kWidth), 0xEE);
  bool completed = false;
  CHECK(fill_windows(**fx, enc, w, out.data(), nullptr, &completed).ok() && completed);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const WindowSpan s = resolve_window(starts[i], kWidth, residues.size());
    const std::string part = s.span ? residues.substr(s.first - 1, s.span) : "";
    const auto want = row_of<unsigned char>(enc, part, s.left, kWidth, reverse[i]);
    wrong += std::memcmp(want.data(), &out[i * want.size()], want.size()) != 0;
  }
  CHECK_EQ(wrong, 0u);
  // A stop asked for at the first chunk: the call returns incomplete, and the next one fills.
  const std::function<bool()> stop = [] { return true; };
  CHECK(fill_windows(**fx, enc, w, out.data(), &stop, &completed).ok() && !completed);
  CHECK(check_windows_inside(**fx, w).error().kind == ErrorKind::Bounds);
}

}  // namespace

int main() {
  test_encoders();
  std::string residues;
  const std::string path = make_file(&residues);
  test_fill(path, residues, false);
  test_fill(path, residues, true);
  ::unlink(path.c_str());
  ::unlink((path + ".fai").c_str());
  return check::summary();
}
