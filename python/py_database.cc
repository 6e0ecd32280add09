#include "py_database.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "config.h"
#include "convert.h"
#include "engine/database.h"
#include "engine/directory_lock.h"
#include "errors.h"

namespace quenlordb::python {

namespace {

struct DatabaseObject {
  PyObject_HEAD
  engine::Database* db;  // owned; set by `open`, released by dealloc in the opening process only
  pid_t opener;          // the process that opened it
};

PyObject* g_database_type = nullptr;

// A forked child holds a copy of every PyDatabase but none of the engine's threads: a write there
// would be acknowledged and never made durable, and a shutdown would wait for threads that do not
// exist. Each object therefore remembers the process that opened it. The current process id is
// kept here and renewed in every child by a fork handler, so the check costs one load per call.
std::atomic<pid_t> g_process_id{0};

void renew_process_id() { g_process_id.store(::getpid(), std::memory_order_relaxed); }

// The child branch of the fork handler. Besides the process id, the child lets go of the databases'
// directory locks it inherited: it cannot use those databases, and while it held the locks the
// parent could not reopen a directory it had closed.
void after_fork_in_child() {
  renew_process_id();
  engine::close_inherited_directory_locks();
}

pid_t current_process_id() { return g_process_id.load(std::memory_order_relaxed); }

constexpr const char* kOtherProcess = "database was opened in another process; open it again in this one";

constexpr const char* kOpenParams[] = {"path", "shard_count"};
constexpr const char* kPutParams[] = {"key", "doc", "valid_from", "valid_to"};
constexpr const char* kGetParams[] = {"key", "as_of", "valid_at"};
constexpr const char* kSqlParams[] = {"query"};
constexpr Signature kOpen{"PyDatabase.open()", kOpenParams, 1};
constexpr Signature kPut{"PyDatabase.put()", kPutParams, 4};
constexpr Signature kGet{"PyDatabase.get()", kGetParams, 1};
constexpr Signature kSql{"PyDatabase.sql()", kSqlParams, 1};

// The database behind `self`, or nullptr with TypeError when self is not a PyDatabase.
engine::Database* database_of(PyObject* self) {
  if (self == nullptr || Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(g_database_type)) {
    PyErr_SetString(PyExc_TypeError, "expected a PyDatabase instance");
    return nullptr;
  }
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  if (object->opener != current_process_id()) {
    PyErr_SetString(PyExc_RuntimeError, kOtherProcess);
    return nullptr;
  }
  return object->db;
}

PyObject* database_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    PyObject* bound[kOpen.params.size()];
    if (!bind_arguments(kOpen, args, nargs, kwnames, bound)) return nullptr;
    std::string path;
    Config config;  // the defaults; only the shard count can be chosen from here
    if (!extract_path(bound[0], "path", &path)) return nullptr;
    if (bound[1] != nullptr && bound[1] != Py_None && !extract_u64(bound[1], "shard_count", &config.shard_count))
      return nullptr;

    auto opened = engine::Database::open(path, config);
    if (!opened) return raise_engine_error(opened.error());
    auto* type = reinterpret_cast<PyTypeObject*>(g_database_type);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // the database shuts down as `opened` goes away
    reinterpret_cast<DatabaseObject*>(self)->db = opened->release();
    reinterpret_cast<DatabaseObject*>(self)->opener = current_process_id();
    return self;
  });
}

// The one wrapper of every instance method: checks that self is a PyDatabase, binds the arguments
// to Sig's parameters, runs Body with the database and the bound arguments, and turns any C++
// exception into PanicException.
template <const Signature& Sig, PyObject* (*Body)(engine::Database&, PyObject* const* bound)>
PyObject* instance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    engine::Database* db = database_of(self);
    PyObject* bound[Sig.params.size()];
    if (db == nullptr || !bind_arguments(Sig, args, nargs, kwnames, bound)) return nullptr;
    return Body(*db, bound);
  });
}

PyObject* put(engine::Database& db, PyObject* const* bound) {
  std::string_view key;
  std::string doc;
  std::uint64_t valid_from = 0;
  std::uint64_t valid_to = 0;
  if (!extract_bytes(bound[0], "key", &key) || !extract_byte_sequence(bound[1], "doc", &doc) ||
      !extract_u64(bound[2], "valid_from", &valid_from) || !extract_u64(bound[3], "valid_to", &valid_to))
    return nullptr;

  auto commit_ts = db.put(key, std::move(doc), valid_from, valid_to);
  if (!commit_ts) return raise_engine_error(commit_ts.error());
  return PyLong_FromUnsignedLongLong(*commit_ts);
}

PyObject* get(engine::Database& db, PyObject* const* bound) {
  std::string_view key;
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  if (!extract_bytes(bound[0], "key", &key) || !extract_optional_u64(bound[1], "as_of", &as_of) ||
      !extract_optional_u64(bound[2], "valid_at", &valid_at))
    return nullptr;

  // The list is built straight from the document where it lies; a failure to build it (MemoryError)
  // is raised once the read is over.
  PyObject* list = nullptr;
  auto found = db.visit_get(key, [&](std::string_view doc) { list = bytes_to_int_list(doc); }, as_of, valid_at);
  if (!found) return raise_engine_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return list;
}

PyObject* sql(engine::Database& db, PyObject* const* bound) {
  std::string_view query;
  if (!extract_str(bound[0], "query", &query)) return nullptr;

  auto result = db.sql(query);
  if (!result) return raise_engine_error(result.error());
  return sql_result_to_py(*result);
}

PyObject* database_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

void database_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  engine::Database* db = std::exchange(object->db, nullptr);
  // The shutdown sequence joins the engine's threads; they never wait for the interpreter lock, so
  // holding it here cannot deadlock. ~Database is noexcept: it discards the panics of its threads.
  // In a forked child the database is left alone: its threads, and what they would write and
  // sync, belong to the parent.
  if (object->opener == current_process_id()) delete db;
  type->tp_free(self);
  Py_DECREF(type);
}

template <typename Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef g_methods[] = {
    {"open", as_cfunction(database_open), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(path, shard_count=None)\n--\n\n"},
    {"put", as_cfunction(instance_method<kPut, put>), METH_FASTCALL | METH_KEYWORDS,
     "put($self, key, doc, valid_from, valid_to)\n--\n\n"},
    {"get", as_cfunction(instance_method<kGet, get>), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, as_of=None, valid_at=None)\n--\n\n"},
    {"sql", as_cfunction(instance_method<kSql, sql>), METH_FASTCALL | METH_KEYWORDS, "sql($self, query)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Not subclassable (no Py_TPFLAGS_BASETYPE), no instance dict, no weak references. The dotted name
// gives the type its `__module__`, which the interpreter otherwise warns is missing (an error under
// -W error); database_type() then gives the type its bare name back.
PyType_Spec g_spec = {"quenlordb.PyDatabase", sizeof(DatabaseObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

// The type, named "PyDatabase" (tp_name too, which the interpreter's messages and ours print).
PyObject* create_type() {
  PyRef type(PyType_FromSpec(&g_spec));
  if (!type) return nullptr;
  PyRef name(PyUnicode_FromString("PyDatabase"));
  if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return nullptr;
  return type.release();
}

}  // namespace

PyObject* database_type() {
  static bool fork_handler_installed = false;
  if (!fork_handler_installed) {
    renew_process_id();
    if (const int err = ::pthread_atfork(nullptr, nullptr, after_fork_in_child); err != 0) {
      errno = err;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    fork_handler_installed = true;
  }
  if (g_database_type == nullptr) g_database_type = create_type();
  return g_database_type;
}

}  // namespace quenlordb::python
