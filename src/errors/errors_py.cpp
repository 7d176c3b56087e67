// Conversion of core error values into Python exceptions.
#include "errors/errors_py.hpp"

namespace tavlo::py {

namespace {

const char* kind_word(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::FastaNotFound: return "FastaNotFoundError: ";
    case ErrorKind::IndexNotFound: return "IndexNotFoundError: ";
    case ErrorKind::Fetch: return "FetchError: ";
    case ErrorKind::FastaIndexing: return "FastaIndexingError: ";
    case ErrorKind::Io: return "IOError: ";
    case ErrorKind::Region: return "RegionError: ";
    case ErrorKind::Bounds: return "";
  }
  return "";
}

}  // namespace

PyObject* raise_error(const FaidxError& error) {
  if (error.kind == ErrorKind::Bounds) {
    PyErr_SetString(PyExc_IndexError, error.text.c_str());
    return nullptr;
  }
  const std::string message = kind_word(error.kind) + error.payload();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_Exception, text.get());
  return nullptr;
}

PyObject* raise_batch_error(const FaidxError& error, std::size_t position,
                            std::optional<std::string_view> name) {
  std::string message = "Error fetching region " + std::to_string(position);
  if (name) {
    message += " from ";
    message.append(*name);
  }
  message += ": " + error.display();
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  return nullptr;
}

}  // namespace tavlo::py
