// Binding helpers shared by every Python type: an owning reference, the C++ exception guard and
// argument conversion for METH_FASTCALL | METH_KEYWORDS methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

namespace tavlo::py {

// Owns one strong reference; move-only.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }

 private:
  explicit PyRef(PyObject* o) noexcept : o_(o) {}
  PyObject* o_ = nullptr;
};

// Runs a method body; no C++ exception may unwind into the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error");
  }
  using R = decltype(body());
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

// The type made from `spec` on first use and kept in *slot for the life of the process: a borrowed
// reference, or nullptr with an exception set.
inline PyTypeObject* make_type(PyTypeObject** slot, PyType_Spec* spec) {
  if (*slot == nullptr) *slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return *slot;
}

// A METH_FASTCALL function as a method table holds it.
template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// tp_traverse and tp_dealloc of a GC heap type whose objects (layout T) own the references Refs
// (each may be nullptr) and nothing else that needs releasing.
template <class T, PyObject* T::*... Refs>
int traverse_refs(PyObject* self, visitproc visit, void* arg) {
  for (PyObject* o : {reinterpret_cast<T*>(self)->*Refs...}) Py_VISIT(o);
  Py_VISIT(Py_TYPE(self));
  return 0;
}
template <class T, PyObject* T::*... Refs>
void dealloc_refs(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  (Py_XDECREF(reinterpret_cast<T*>(self)->*Refs), ...);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A new list of make(i) (each a new reference, or nullptr with an exception set) for i in [0, n),
// or nullptr with the exception set.
template <class Make>
PyObject* new_list(std::size_t n, Make make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Binds fast-call arguments to parameter slots by position and keyword. `names` holds
// `nparams` parameter names; the first `nrequired` must be given. Unfilled slots stay nullptr.
// Raises TypeError and returns false on a missing, unexpected, duplicate or excess argument.
bool bind_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, int nparams, int nrequired, PyObject** slots);

// Conversions. Each raises and returns false on failure; `what` names the argument in messages.
// Unsigned 64-bit integer: int or __index__; TypeError otherwise, OverflowError when negative or
// too large. The common case, an int in range, is inline: fetches convert two per call.
bool to_u64_general(PyObject* o, std::uint64_t* out, const char* what);
inline bool to_u64(PyObject* o, std::uint64_t* out, const char* what) {
  if (PyLong_CheckExact(o)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      *out = v;
      return true;
    }
    PyErr_Clear();  // the general path raises the error with its own message
  }
  return to_u64_general(o, out, what);
}
// True or False (also numpy booleans); TypeError otherwise.
bool to_bool(PyObject* o, bool* out, const char* what);
// None (or an unfilled slot) as false, else as to_bool.
inline bool to_opt_bool(PyObject* o, bool* out, const char* what) {
  *out = false;
  return o == nullptr || o == Py_None || to_bool(o, out, what);
}
// A str as UTF-8 bytes (borrowed from the str object: valid while it lives); TypeError otherwise.
bool to_str(PyObject* o, std::string_view* out, const char* what);
// None (or an unfilled slot) as absent, else as to_str / to_u64.
bool to_opt_str(PyObject* o, std::optional<std::string_view>* out, const char* what);
bool to_opt_u64(PyObject* o, std::optional<std::uint64_t>* out, const char* what);
// New str from UTF-8 bytes; pure ASCII takes the fast path. Invalid UTF-8 raises
// UnicodeDecodeError.
PyObject* new_str(std::string_view bytes);
// Adds a type to the module and appends its name to __all__.
bool add_type(PyObject* module, PyTypeObject* type, const char* name);

// Binds classic (tuple, dict) call arguments to parameter slots, as bind_args does.
bool bind_call_args(const char* func, PyObject* args, PyObject* kwargs, const char* const* names,
                    int nparams, int nrequired, PyObject** slots);

}  // namespace tavlo::py
