// The class PyDatabase: one open database per instance, created only by the static method
// `open`; `put`, `get` and `sql` call the engine with the interpreter lock held throughout (the
// engine's threads never touch interpreter objects, so a call waiting for a shard always gets its
// reply). Dropping the last reference shuts the database down before the object is freed.
#pragma once

#include "py_ref.h"

namespace quenlordb::python {

// The class object, created on first call and kept for the life of the process (borrowed
// reference); nullptr with the interpreter's error set if it cannot be created.
PyObject* database_type();

}  // namespace quenlordb::python
