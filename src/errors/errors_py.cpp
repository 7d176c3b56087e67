// Conversion of core error values into Python exceptions.
#include "errors/errors_py.hpp"

namespace tavlo::py {

PyObject* raise_error(const FaidxError& error) {
  if (error.kind == ErrorKind::Bounds) {
    PyErr_SetString(PyExc_IndexError, error.text.c_str());
    return nullptr;
  }
  const std::string message = error.python_message();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_Exception, text.get());
  return nullptr;
}

}  // namespace tavlo::py
