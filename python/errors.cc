#include "errors.h"

#include "convert.h"

namespace quenlordb::python {

namespace {

// Created once per process by the first module initialisation; never released.
PyObject* g_panic_exception = nullptr;

void raise_text(PyObject* type, std::string_view text) {
  PyRef value(text_to_py(text));
  if (!value) return;  // the decoding error (MemoryError) stays set
  PyErr_SetObject(type, value.get());
}

}  // namespace

bool init_panic_exception() {
  if (g_panic_exception != nullptr) return true;
  g_panic_exception = PyErr_NewExceptionWithDoc(
      "quenlordb.PanicException",
      "An internal fault of the engine (a violated invariant); the message says which.",
      PyExc_BaseException, nullptr);
  return g_panic_exception != nullptr;
}

PyObject* panic_exception_type() { return g_panic_exception; }

std::nullptr_t raise_engine_error(const QuenlorError& error) {
  raise_text(PyExc_RuntimeError, error.to_string());
  return nullptr;
}

void raise_panic(std::string_view message) {
  raise_text(g_panic_exception != nullptr ? g_panic_exception : PyExc_SystemError, message);
}

}  // namespace quenlordb::python
