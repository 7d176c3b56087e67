// Pickling and copying support shared by the module's types (see pickle_py.hpp).
#include "pyutil/pickle_py.hpp"

namespace tavlo::py {
namespace {

// The stand-in for a class in the callable slot of a reduce tuple. Calling it calls the class
// (copy.copy and copy.deepcopy call the callable of a reduce tuple directly); pickling it stores
// pkgutil.resolve_name("tavlo:{class}"), which gives the class back on loading. It never
// outlives the pickling or copying that made it.
struct ClassRefObject {
  PyObject_HEAD
  PyObject* type;  // strong reference to one of the module's classes
};

PyTypeObject* g_class_ref_type = nullptr;  // kept for the life of the process

ClassRefObject* as_class_ref(PyObject* o) { return reinterpret_cast<ClassRefObject*>(o); }

PyObject* class_ref_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyObject_Call(as_class_ref(self)->type, args, kwargs);
}

PyObject* class_ref_reduce(PyObject* self, PyObject* /*unused*/) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(as_class_ref(self)->type, "__name__"));
  if (!name) return nullptr;
  PyRef pkgutil = PyRef::steal(PyImport_ImportModule("pkgutil"));
  if (!pkgutil) return nullptr;
  PyRef resolve = PyRef::steal(PyObject_GetAttrString(pkgutil.get(), "resolve_name"));
  if (!resolve) return nullptr;
  return Py_BuildValue("(O(N))", resolve.get(), PyUnicode_FromFormat("tavlo:%U", name.get()));
}

void class_ref_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  Py_XDECREF(as_class_ref(self)->type);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef class_ref_methods[] = {
    {"__reduce__", class_ref_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot class_ref_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(class_ref_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(class_ref_call)},
    {Py_tp_methods, class_ref_methods},
    {0, nullptr},
};

PyType_Spec class_ref_spec = {
    .name = "builtins.ClassReference",
    .basicsize = sizeof(ClassRefObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = class_ref_slots,
};

PyObject* new_class_ref(PyTypeObject* type) {
  PyTypeObject* tp = make_type(&g_class_ref_type, &class_ref_spec);
  if (tp == nullptr) return nullptr;
  ClassRefObject* ref = PyObject_New(ClassRefObject, tp);
  if (ref == nullptr) return nullptr;
  ref->type = Py_NewRef(reinterpret_cast<PyObject*>(type));
  return reinterpret_cast<PyObject*>(ref);
}

// The pending exception, normalized and with its traceback, taken out of the error state.
PyRef take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_error(PyRef error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

}  // namespace

PyObject* reduce_by_class(PyTypeObject* type, PyObject* args) {
  PyRef owned = PyRef::steal(args);
  if (!owned) return nullptr;
  PyRef callable = PyRef::steal(new_class_ref(type));
  if (!callable) return nullptr;
  return PyTuple_Pack(2, callable.get(), owned.get());
}

bool check_picklable(PyObject* value, const char* owner, const char* option, PyObject* protocol) {
  PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
  if (!pickle) return false;
  PyRef dumped = PyRef::steal(PyObject_CallMethod(pickle.get(), "dumps", "OO", value,
                                                  protocol != nullptr ? protocol : Py_None));
  if (dumped) return true;
  PyRef cause = take_error();
  PyObject* cause_type = reinterpret_cast<PyObject*>(Py_TYPE(cause.get()));
  PyRef pickling_error = PyRef::steal(PyObject_GetAttrString(pickle.get(), "PicklingError"));
  if (!pickling_error) return false;
  // Only a refusal to pickle is renamed; MemoryError, RecursionError and the like pass through.
  const bool type_error = PyErr_GivenExceptionMatches(cause_type, PyExc_TypeError) != 0;
  if (!type_error && !PyErr_GivenExceptionMatches(cause_type, pickling_error.get()) &&
      !PyErr_GivenExceptionMatches(cause_type, PyExc_AttributeError)) {
    restore_error(std::move(cause));
    return false;
  }
  PyRef message = PyRef::steal(
      PyUnicode_FromFormat("cannot pickle %s option %s: %S", owner, option, cause.get()));
  if (!message) return false;
  PyObject* raised_type = type_error ? PyExc_TypeError : pickling_error.get();
  PyRef raised = PyRef::steal(PyObject_CallOneArg(raised_type, message.get()));
  if (!raised) return false;
  PyException_SetCause(raised.get(), Py_NewRef(cause.get()));  // steals the new reference
  PyException_SetContext(raised.get(), cause.release());       // steals
  PyErr_SetObject(raised_type, raised.get());
  return false;
}

PyObject* copy_self(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

PyObject* refuse_pickle(PyObject* self, const char* why) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object: %s", Py_TYPE(self)->tp_name, why);
  return nullptr;
}

}  // namespace tavlo::py
