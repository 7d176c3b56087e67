// Argument binding and conversion helpers shared by the Python types.
#include "pyutil/pyutil.hpp"

#include "text/text.hpp"

#include <cstring>
#include <vector>

namespace tavlo::py {

bool bind_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, int nparams, int nrequired, PyObject** slots) {
  for (int i = 0; i < nparams; ++i) slots[i] = nullptr;
  if (nargs > nparams) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional arguments (%zd given)", func,
                 nparams, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t len = 0;
      const char* kname = PyUnicode_AsUTF8AndSize(key, &len);
      if (kname == nullptr) return false;
      int found = -1;
      for (int i = 0; i < nparams; ++i) {
        if (std::strlen(names[i]) == static_cast<size_t>(len) &&
            std::memcmp(names[i], kname, len) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        return false;
      }
      if (slots[found] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func,
                     names[found]);
        return false;
      }
      slots[found] = args[nargs + k];
    }
  }
  for (int i = 0; i < nrequired; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", func,
                   names[i], i + 1);
      return false;
    }
  }
  return true;
}

bool to_u64_general(PyObject* o, std::uint64_t* out, const char* what) {
  if (PyLong_CheckExact(o)) {
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Format(PyExc_OverflowError, "argument '%s' must be an integer from 0 to 2**64 - 1",
                   what);
      return false;
    }
    *out = v;
    return true;
  }
  if (PyFloat_Check(o) || !PyIndex_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be an integer, not %.200s", what,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return false;
  return to_u64_general(index.get(), out, what);
}

bool to_bool(PyObject* o, bool* out, const char* what) {
  if (o == Py_True) {
    *out = true;
    return true;
  }
  if (o == Py_False) {
    *out = false;
    return true;
  }
  // NumPy's boolean scalar, without importing NumPy.
  const char* tname = Py_TYPE(o)->tp_name;
  if (std::strcmp(tname, "numpy.bool_") == 0 || std::strcmp(tname, "numpy.bool") == 0) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s' must be True or False, not %.200s", what, tname);
  return false;
}

bool to_str(PyObject* o, std::string_view* out, const char* what) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", what,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &len);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<size_t>(len));
  return true;
}

bool to_opt_str(PyObject* o, std::optional<std::string_view>* out, const char* what) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::string_view v;
  if (!to_str(o, &v, what)) return false;
  *out = v;
  return true;
}

bool to_opt_u64(PyObject* o, std::optional<std::uint64_t>* out, const char* what) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::uint64_t v = 0;
  if (!to_u64(o, &v, what)) return false;
  *out = v;
  return true;
}

PyObject* new_str(std::string_view bytes) {
  if (text::is_ascii(bytes.data(), bytes.size())) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), bytes.data(), bytes.size());
    return s;
  }
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
}

bool add_type(PyObject* module, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");  // new reference or nullptr
  PyRef all_ref;
  if (all == nullptr) {
    PyErr_Clear();
    all_ref = PyRef::steal(PyList_New(0));
    if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
  } else {
    all_ref = PyRef::steal(all);
  }
  PyRef pyname = PyRef::steal(PyUnicode_FromString(name));
  if (!pyname || PyList_Append(all_ref.get(), pyname.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

bool bind_call_args(const char* func, PyObject* args, PyObject* kwargs, const char* const* names,
                    int nparams, int nrequired, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    return bind_args(func, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, names, nparams, nrequired,
                     slots);
  }
  // Lay the arguments out as a fast call would: positionals, then keyword values.
  const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  PyRef kwnames = PyRef::steal(PyTuple_New(nkw));
  if (!kwnames) return false;
  std::vector<PyObject*> flat(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func);
      return false;
    }
    Py_INCREF(key);
    PyTuple_SET_ITEM(kwnames.get(), k, key);
    flat[nargs + k] = value;
    ++k;
  }
  // The slots borrow from args and kwargs, which outlive the call.
  return bind_args(func, flat.data(), nargs, kwnames.get(), names, nparams, nrequired, slots);
}

}  // namespace tavlo::py
