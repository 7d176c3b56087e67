// The one place where a core error value becomes a Python exception.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "errors/errors.hpp"
#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Sets the Python exception for `error` and returns nullptr: IndexError for a strict-bounds
// refusal, otherwise the built-in Exception with the message "{Kind}: {text}".
PyObject* raise_error(const FaidxError& error);

// Raises the RuntimeError of a batch whose region `position` (of record `name`, when the batch
// reads one record) failed with `error`: "Error fetching region N[ from NAME]: Fetch error: ...".
PyObject* raise_batch_error(const FaidxError& error, std::size_t position,
                            std::optional<std::string_view> name);

}  // namespace tavlo::py
