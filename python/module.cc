// The extension module `quenlordb`: its definition and its init function, the one symbol the
// shared object exports. The module holds the class PyDatabase and `__all__`; the class, the
// PanicException class and the table of byte ints are created once per process and shared by
// every (re)initialisation. Only the main interpreter may import it: the engine keeps process-wide
// interpreter objects, and the module state size of 0 makes the init function run again in a
// sub-interpreter (instead of the interpreter copying the module silently), where it refuses.
#include "py_ref.h"

#include "convert.h"
#include "errors.h"
#include "py_database.h"

namespace quenlordb::python {

namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "quenlordb",  // m_name
    "",           // m_doc
    0,            // m_size
    nullptr,      // m_methods
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

PyObject* create_module() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "quenlordb can only be imported in the main interpreter, not in a sub-interpreter");
    return nullptr;
  }
  if (!init_panic_exception() || !init_byte_ints()) return nullptr;
  PyObject* type = database_type();
  if (type == nullptr) return nullptr;

  PyRef module(PyModule_Create(&g_module));
  if (!module || PyModule_AddObjectRef(module.get(), "PyDatabase", type) < 0) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return nullptr;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "quenlordb.__all__ must be a list");
    return nullptr;
  }
  PyRef name(PyUnicode_FromString("PyDatabase"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace quenlordb::python

PyMODINIT_FUNC PyInit_quenlordb() {
  return quenlordb::python::call_guarded([] { return quenlordb::python::create_module(); });
}
