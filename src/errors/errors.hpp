// Error values of the core: every fallible core operation returns one of these instead of throwing.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <variant>

namespace tavlo {

enum class ErrorKind : std::uint8_t {
  FastaNotFound,  // the FASTA path cannot be queried; text = the path as given
  IndexNotFound,  // the index cannot be opened for reading; text = the index path
  Fetch,          // a name the index does not hold; text = the full message
  FastaIndexing,  // a malformed index number or a malformed FASTA record
  Io,             // an OS error (os_errno != 0) or an input-layer message (os_errno == 0)
  Region,         // a region outside its sequence in the quiet fetch
  Bounds,         // a coordinate refused under strict bounds: raised as IndexError, never
                  // displayed in a batch message (the quiet fetch does not produce it)
};

struct FaidxError {
  ErrorKind kind;
  std::string text;  // for Io with os_errno != 0 this is empty: the text comes from the errno
  int os_errno = 0;
  // Where the fault lies, when the text does not say it: for the command-line tool's messages
  // (the Python message leaves them out). `line` counts from 1; 0 is unknown.
  std::string file;
  std::uint64_t line = 0;

  static FaidxError io_errno(int err) { return {ErrorKind::Io, {}, err, {}, 0}; }
  static FaidxError io(std::string message) {
    return {ErrorKind::Io, std::move(message), 0, {}, 0};
  }
  static FaidxError of(ErrorKind kind, std::string text) {
    return {kind, std::move(text), 0, {}, 0};
  }

  // The payload as text: the message, or for an OS error "strerror (os error N)".
  std::string payload() const;
  // "Fetch error: ...", used inside batch messages.
  std::string display() const;
};

// A T or a FaidxError (std::expected is not available with GCC 12 in C++20 mode).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(FaidxError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() & { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  FaidxError& error() & { return std::get<1>(v_); }
  FaidxError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, FaidxError> v_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;

}  // namespace tavlo
