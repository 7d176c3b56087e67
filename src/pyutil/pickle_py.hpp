// Pickling and copying support shared by the module's types: class stand-ins, checks of option
// objects, and the refusal used by types that cannot be sent to another process.
#pragma once

#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// A reduce tuple (callable, args) that rebuilds an object by calling `type` (one of the module's
// classes) with `args`. The classes report "builtins" as their module, so a pickle cannot name
// them: the callable is a stand-in that calls the class and pickles as a look-up of the class in
// the tavlo module. Steals `args` (which may be nullptr, the error then passing through).
PyObject* reduce_by_class(PyTypeObject* type, PyObject* args);

// True when `value` pickles with `protocol` (None or nullptr: the default protocol). Otherwise
// false, with an error that names `option` of `owner` and keeps the pickler's error as its cause:
// TypeError when the pickler raised one, pickle.PicklingError for any other refusal.
bool check_picklable(PyObject* value, const char* owner, const char* option, PyObject* protocol);

// __copy__ and __deepcopy__ of objects that never change: the object itself.
PyObject* copy_self(PyObject* self, PyObject* unused);

// Raises TypeError "cannot pickle '{type}' object: {why}" and returns nullptr.
PyObject* refuse_pickle(PyObject* self, const char* why);

}  // namespace tavlo::py
