// Check macros for the C++ tests: a failed check prints file:line and the test carries on.
//
//   CHECK(cond);  CHECK_EQ(actual, expected);  ...  return tavlo::check::summary();
//
// Both macros return whether the check held, so a test can stop early: if (!CHECK(p)) return;
// The counters are atomic, so checks may run on any thread.
#pragma once

#include <atomic>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

namespace tavlo::check {

inline std::atomic<long> passed{0};
inline std::atomic<long> failed{0};

inline bool record(bool ok, const char* file, int line, const std::string& what) {
  if (ok) {
    passed.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  failed.fetch_add(1, std::memory_order_relaxed);
  // One write per failure, so that lines from several threads do not interleave.
  std::string text = std::string(file) + ":" + std::to_string(line) + ": FAILED " + what + "\n";
  std::fputs(text.c_str(), stderr);
  return false;
}

template <class T>
std::string show(const T& value) {
  if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream os;
    os << value;
    return os.str();
  } else {
    return "<not printable>";
  }
}

// Integers of mixed signedness compare by value (-1 != SIZE_MAX), as std::cmp_equal does.
template <class T>
constexpr bool kPlainInteger =
    std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
    !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> &&
    !std::is_same_v<T, char32_t>;

template <class A, class B>
bool equal(const A& a, const B& b) {
  if constexpr (kPlainInteger<A> && kPlainInteger<B>) {
    return std::cmp_equal(a, b);
  } else {
    return a == b;
  }
}

template <class A, class B>
bool check_eq(const A& a, const B& b, const char* file, int line, const char* a_text,
              const char* b_text) {
  if (equal(a, b)) return record(true, file, line, {});
  return record(false, file, line,
                std::string(a_text) + " == " + b_text + " (" + show(a) + " vs " + show(b) + ")");
}

// Prints the final "N passed, N failed" line; returns main's exit status.
inline int summary() {
  std::fflush(stderr);
  std::printf("%ld passed, %ld failed\n", passed.load(), failed.load());
  std::fflush(stdout);
  return failed.load() == 0 ? 0 : 1;
}

}  // namespace tavlo::check

#define CHECK(cond) ::tavlo::check::record(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(a, b) ::tavlo::check::check_eq((a), (b), __FILE__, __LINE__, #a, #b)
