// The one place where a core error value becomes a Python exception.
#pragma once

#include "errors/errors.hpp"
#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Sets the Python exception for `error` and returns nullptr: IndexError for a strict-bounds
// refusal, otherwise the built-in Exception with the message "{Kind}: {text}".
PyObject* raise_error(const FaidxError& error);

}  // namespace tavlo::py
