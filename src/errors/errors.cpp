// Rendering of core error values: the payload and the display text.
#include "errors/errors.hpp"

#include <cstring>

namespace tavlo {

namespace {

std::string os_error_text(int err) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

const char* display_prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::FastaNotFound: return "FASTA file not found: ";
    case ErrorKind::IndexNotFound: return "Index file not found: ";
    case ErrorKind::Fetch: return "Fetch error: ";
    case ErrorKind::FastaIndexing: return "Indexing error: ";
    case ErrorKind::Io: return "IO error: ";
    case ErrorKind::Region: return "Invalid region: ";
    case ErrorKind::Bounds: return "";
  }
  return "";
}

}  // namespace

std::string FaidxError::payload() const {
  if (kind == ErrorKind::Io && os_errno != 0) return os_error_text(os_errno);
  return text;
}

std::string FaidxError::display() const { return display_prefix(kind) + payload(); }

}  // namespace tavlo
