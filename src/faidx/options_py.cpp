// The constructor options of Faidx and Fasta: conversion from Python and back, for pickles.
#include "faidx/options_py.hpp"

#include "pyutil/pickle_py.hpp"

namespace tavlo::py {

namespace {

bool convert_flag(PyObject* value, const char* name, bool* out) {
  return value == nullptr || to_bool(value, out, name);
}

// The system reads a path up to its first NUL, so such a path names another file: refused as
// Python's own open() refuses it.
bool refuse_nul(std::string_view path, const char* name) {
  if (path.find('\0') == std::string_view::npos) return true;
  PyErr_Format(PyExc_ValueError, "embedded null byte in argument '%s'", name);
  return false;
}

bool convert_opt_text(PyObject* value, const char* name, std::optional<std::string>* out) {
  std::optional<std::string_view> v;
  if (!to_opt_str(value, &v, name)) return false;
  if (v) *out = std::string(*v);
  return true;
}

// Converts one bound argument (nullptr = not given) into `out`; raises and returns false on a
// wrong type or value.
bool convert_faidx_param(FaidxParam param, const char* name, PyObject* value, FaidxArgs* out) {
  FaidxOptions& o = out->options;
  switch (param) {
    case FaidxParam::filename: {
      std::string_view v;
      if (!to_str(value, &v, name) || !refuse_nul(v, name)) return false;
      o.filename = std::string(v);
      return true;
    }
    case FaidxParam::indexname:
      return convert_opt_text(value, name, &o.indexname) &&
             (!o.indexname || refuse_nul(*o.indexname, name));
    case FaidxParam::as_raw: return convert_flag(value, name, &o.as_raw);
    case FaidxParam::strict_bounds: return convert_flag(value, name, &o.strict_bounds);
    case FaidxParam::sequence_always_upper:
      return convert_flag(value, name, &o.sequence_always_upper);
    case FaidxParam::rebuild: return convert_flag(value, name, &o.rebuild);
    case FaidxParam::build_index: return convert_flag(value, name, &o.build_index);
    case FaidxParam::one_based_attributes:
      return convert_flag(value, name, &o.one_based_attributes);
    case FaidxParam::default_seq: return convert_opt_text(value, name, &o.default_seq);
    case FaidxParam::mutable_file: return convert_flag(value, name, &o.mutable_file);
    case FaidxParam::key_function:
      out->key_function = value == Py_None ? nullptr : value;
      return true;
    case FaidxParam::split_char: return convert_opt_text(value, name, &o.split_char);
    case FaidxParam::filt_function:
      out->filt_function = value == Py_None ? nullptr : value;
      return true;
    case FaidxParam::read_long_names: return convert_flag(value, name, &o.read_long_names);
    case FaidxParam::duplicate_action: {
      if (value == nullptr) return true;
      std::string_view v;
      if (!to_str(value, &v, name)) return false;
      o.duplicate_action = std::string(v);
      return true;
    }
    case FaidxParam::read_ahead: return to_opt_u64(value, &o.read_ahead, name);
  }
  return true;
}

// Text options come back as the str they were given as; file names as fasta_repr shows them.
PyObject* text_value(const std::string& text, const char* errors) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors);
}

PyObject* opt_text_value(const std::optional<std::string>& text, const char* errors) {
  if (!text) Py_RETURN_NONE;
  return text_value(*text, errors);
}

PyObject* object_value(PyObject* o) { return Py_NewRef(o != nullptr ? o : Py_None); }

PyObject* param_value(const FaidxOptions& o, PyObject* key_function, PyObject* filt_function,
                      FaidxParam param) {
  switch (param) {
    case FaidxParam::filename: return text_value(o.filename, "surrogateescape");
    case FaidxParam::indexname: return opt_text_value(o.indexname, "surrogateescape");
    case FaidxParam::as_raw: return PyBool_FromLong(o.as_raw);
    case FaidxParam::strict_bounds: return PyBool_FromLong(o.strict_bounds);
    case FaidxParam::sequence_always_upper: return PyBool_FromLong(o.sequence_always_upper);
    case FaidxParam::rebuild: return PyBool_FromLong(o.rebuild);
    case FaidxParam::build_index: return PyBool_FromLong(o.build_index);
    case FaidxParam::one_based_attributes: return PyBool_FromLong(o.one_based_attributes);
    case FaidxParam::default_seq: return opt_text_value(o.default_seq, "strict");
    case FaidxParam::mutable_file: return PyBool_FromLong(o.mutable_file);
    case FaidxParam::key_function: return object_value(key_function);
    case FaidxParam::split_char: return opt_text_value(o.split_char, "strict");
    case FaidxParam::filt_function: return object_value(filt_function);
    case FaidxParam::read_long_names: return PyBool_FromLong(o.read_long_names);
    case FaidxParam::duplicate_action: return text_value(o.duplicate_action, "strict");
    case FaidxParam::read_ahead:
      if (!o.read_ahead) Py_RETURN_NONE;
      return PyLong_FromUnsignedLongLong(*o.read_ahead);
  }
  Py_RETURN_NONE;
}

}  // namespace

bool convert_faidx_args(const FaidxParams& params, PyObject* args, PyObject* kwargs,
                        FaidxArgs* out) {
  PyObject* slots[kFaidxParamCount];  // borrowed from args and kwargs
  if (!bind_call_args(params.owner, args, kwargs, params.names, kFaidxParamCount, 1, slots)) {
    return false;
  }
  for (int i = 0; i < kFaidxParamCount; ++i) {
    if (!convert_faidx_param(params.order[i], params.names[i], slots[i], out)) return false;
  }
  return true;
}

PyObject* options_pickle_args(const FaidxOptions& options, PyObject* key_function,
                              PyObject* filt_function, const FaidxParams& params,
                              PyObject* protocol) {
  PyRef args = PyRef::steal(PyTuple_New(kFaidxParamCount));
  if (!args) return nullptr;
  for (int i = 0; i < kFaidxParamCount; ++i) {
    const FaidxParam param = params.order[i];
    PyObject* value = param_value(options, key_function, filt_function, param);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, value);
    const bool holds_object =
        param == FaidxParam::key_function || param == FaidxParam::filt_function;
    if (holds_object && value != Py_None &&
        !check_picklable(value, params.owner, params.names[i], protocol)) {
      return nullptr;
    }
  }
  return args.release();
}

}  // namespace tavlo::py
