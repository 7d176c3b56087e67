// The module's entry point: binds the module to one interpreter and registers the classes.
#include <atomic>

#include "faidx/faidx_py.hpp"
#include "lib/facade_py.hpp"
#include "pyutil/pyutil.hpp"
#include "sequence/sequence_py.hpp"

namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // kept alive for the life of the process

PyModuleDef tavlo_module = {
    PyModuleDef_HEAD_INIT,
    "tavlo",
    "Fast random access to regions of FASTA files through a samtools-style .fai index.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  using namespace tavlo::py;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tavlo does not support sub-interpreters: it is bound to the interpreter "
                    "that first imported it");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyRef module = PyRef::steal(PyModule_Create(&tavlo_module));
  if (!module) return nullptr;
  // The order of __all__.
  if (!add_type(module.get(), fasta_type(), "Fasta") ||
      !add_type(module.get(), faidx_type(), "Faidx") ||
      !add_type(module.get(), sequence_type(), "Sequence") ||
      !add_type(module.get(), fasta_record_type(), "FastaRecord") ||
      !add_type(module.get(), fasta_iterator_type(), "FastaIterator") ||
      !add_type(module.get(), sequence_iterator_type(), "SequenceIterator") ||
      !add_type(module.get(), mutable_fasta_record_type(), "MutableFastaRecord")) {
    return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_tavlo() {
  return tavlo::py::guarded([]() -> PyObject* { return init_module(); });
}
