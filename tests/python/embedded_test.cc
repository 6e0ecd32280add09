// The binding inside an interpreter embedded in this test program: internal faults reaching the
// interpreter as PanicException, and the conversion of SQL results and JSON rows into objects.
// The module is registered as a built-in before the interpreter starts.
#include "py_ref.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert.h"
#include "error.h"
#include "errors.h"
#include "support/temp_dir.h"
#include "util/json_document.h"

extern "C" PyObject* PyInit_quenlordb();

namespace {

std::atomic<int> g_thread_starts{0};
std::atomic<int> g_failing_start{0};  // the number of the pthread_create call to fail; 0: none

}  // namespace

// Counts thread starts and fails the one chosen by g_failing_start with EAGAIN, as the system does
// when it runs out of threads. The C++ runtime's std::thread reaches this definition because the
// program exports it.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (++g_thread_starts == g_failing_start.load()) return EAGAIN;
  return real(thread, attr, start, arg);
}

namespace quenlordb::python {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(PyImport_AppendInittab("quenlordb", PyInit_quenlordb), 0);
    Py_InitializeEx(0);
    PyRef module(PyImport_ImportModule("quenlordb"));
    ASSERT_TRUE(module) << "import quenlordb failed";
  }
  void TearDown() override { ASSERT_EQ(Py_FinalizeEx(), 0); }
};

const auto* const g_interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Runs code in a fresh namespace holding `path`; returns the text of its variable `outcome`.
std::string run(const std::string& code, const std::string& path) {
  PyRef globals(PyDict_New());
  PyRef path_obj(PyUnicode_FromString(path.c_str()));
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.get(), "path", path_obj.get());
  PyRef done(PyRun_String(code.c_str(), Py_file_input, globals.get(), globals.get()));
  if (!done) {
    PyErr_Print();
    return "<code raised>";
  }
  PyObject* outcome = PyDict_GetItemString(globals.get(), "outcome");
  PyRef text(outcome == nullptr ? nullptr : PyObject_Str(outcome));
  return text ? PyUnicode_AsUTF8(text.get()) : "<no outcome>";
}

// repr() of a new reference (consumed), or the text of the error it raised.
std::string repr_of(PyObject* owned) {
  PyRef obj(owned);
  if (!obj) {
    PyRef raised(PyErr_GetRaisedException());
    PyRef text(PyObject_Repr(raised.get()));
    return "raised " + std::string(PyUnicode_AsUTF8(text.get()));
  }
  PyRef text(PyObject_Repr(obj.get()));
  return PyUnicode_AsUTF8(text.get());
}

constexpr const char* kOpenAndClassify = R"(
import quenlordb
try:
    db = quenlordb.PyDatabase.open(path, shard_count=1)
    del db
    outcome = "opened"
except Exception as e:
    outcome = "Exception " + type(e).__name__ + ": " + str(e)
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
)";

TEST(EmbeddedInterpreter, FailedStartOfGroupCommitThreadRaisesPanicException) {
  testing::TempDir dir;
  // A normal open shows how many threads an open starts; the group-commit thread is the last.
  const int before = g_thread_starts.load();
  ASSERT_EQ(run(kOpenAndClassify, dir.file("probe")), "opened");
  const int started = g_thread_starts.load() - before;
  ASSERT_GE(started, 2) << "expected a shard thread and the group-commit thread";

  // The next open starts its threads after the closing ones of the probe's shutdown (none here).
  g_failing_start = g_thread_starts.load() + started;
  const std::string outcome = run(kOpenAndClassify, dir.file("db"));
  g_failing_start = 0;
  EXPECT_EQ(outcome.rfind("PanicException: failed to spawn durability thread", 0), 0u) << outcome;

  // Nothing of the failed open stays behind: the directory opens normally afterwards.
  EXPECT_EQ(run(kOpenAndClassify, dir.file("db")), "opened");
}

TEST(EmbeddedInterpreter, EveryCppExceptionBecomesPanicException) {
  struct Case {
    const char* name;
    void (*raise)();
    const char* message;
  };
  const Case cases[] = {
      {"panic", [] { panic("index 7 out of range"); }, "index 7 out of range"},
      {"standard exception", [] { throw std::length_error("too long"); }, "too long"},
      {"out of memory", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
      {"not an exception class", [] { throw 42; }, "unknown internal fault"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PyObject* result = call_guarded([&]() -> PyObject* {
      c.raise();
      return Py_NewRef(Py_None);
    });
    ASSERT_EQ(result, nullptr);
    PyRef raised(PyErr_GetRaisedException());
    ASSERT_TRUE(raised);
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), panic_exception_type());
    EXPECT_TRUE(PyErr_GivenExceptionMatches(raised.get(), PyExc_BaseException));
    EXPECT_FALSE(PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception));
    EXPECT_EQ(repr_of(PyObject_Str(raised.get())), "'" + std::string(c.message) + "'");
  }
}

TEST(JsonRows, ConvertByTheRules) {
  struct Case {
    const char* name;
    std::string row;
    const char* repr;
  };
  const Case cases[] = {
      {"largest int", "9223372036854775807", "9223372036854775807"},
      {"2^63 becomes float", "9223372036854775808", "9.223372036854776e+18"},
      {"2^64-1 becomes float", "18446744073709551615", "1.8446744073709552e+19"},
      {"beyond u64 becomes float", "18446744073709551616", "1.8446744073709552e+19"},
      {"smallest int", "-9223372036854775808", "-9223372036854775808"},
      {"below i64 becomes float", "-9223372036854775809", "-9.223372036854776e+18"},
      {"fraction and exponent", "[1.5, 1e2, -0]", "[1.5, 100.0, 0]"},
      {"literals", "[null, true, false]", "[None, True, False]"},
      {"members sorted by bytes", R"({"b":1,"\u00e9":2,"B":3,"a":{"z":[],"y":{}}})",
       "{'B': 3, 'a': {'y': {}, 'z': []}, 'b': 1, 'é': 2}"},
      {"last repeated member wins", R"({"a":1,"b":2,"a":3})", "{'a': 3, 'b': 2}"},
      {"escaped NUL kept", R"("a\u0000b")", "'a\\x00b'"},
      {"not JSON", "plain text", "'plain text'"},
      {"trailing garbage", R"({"a":1} x)", "'{\"a\":1} x'"},
      {"empty row", "", "''"},
      {"invalid UTF-8 replaced", "ab\xff\xc3", "'ab\xEF\xBF\xBD\xEF\xBF\xBD'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(repr_of(json_row_to_py(c.row)), c.repr);
  }
}

// The objects a tree of the document reader stands for, by the conversion rules: what every row
// conversion must give.
PyObject* tree_to_py(const nlohmann::json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::boolean: return PyBool_FromLong(v.get<bool>());
    case nlohmann::json::value_t::number_integer: return PyLong_FromLongLong(v.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      const auto u = v.get<std::uint64_t>();
      return u <= INT64_MAX ? PyLong_FromUnsignedLongLong(u) : PyFloat_FromDouble(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float: return PyFloat_FromDouble(v.get<double>());
    case nlohmann::json::value_t::string: return text_to_py(v.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
      PyObject* list = PyList_New(0);
      for (const nlohmann::json& e : v) PyList_Append(list, PyRef(tree_to_py(e)).get());
      return list;
    }
    case nlohmann::json::value_t::object: {
      PyObject* dict = PyDict_New();
      for (auto it = v.begin(); it != v.end(); ++it) {
        PyDict_SetItem(dict, PyRef(text_to_py(it.key())).get(), PyRef(tree_to_py(it.value())).get());
      }
      return dict;
    }
    default: return Py_NewRef(Py_None);
  }
}

TEST(JsonRows, AgreeWithTheDocumentReader) {
  const std::vector<std::string> rows = {
      R"({"a":{"y":1,"x":2,"y":3},"\u0061":[1,-0,-0.0,1e-400,5e-324,1E2,0.1]})", R"({"s":"\ud83d\ude00\u00e9\/\t"})",
      R"([18446744073709551615, 9223372036854775807, -9223372036854775809, 123456789012345678901234567890])",
      "{\"a\":1e400}", R"({"s":"\ud83d"})", "{\"s\":\"\xed\xa0\x80\"}", "{\"s\":\"\x01\"}", "[1,]", "01",
      "\xEF\xBB\xBF[1]", "\xEF\xBB\xBF", std::string("[1]\0[", 5), std::string(" \0", 2), " [ ] ", "{\"a\":tru}",
      std::string(127, '[') + std::string(127, ']'), "{\"k\":" + std::string(127, '[') + std::string(127, ']') + "}",
  };
  for (const std::string& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.substr(0, 40)));
    Result<nlohmann::json> tree = util::parse_json_document(row);
    const std::string want = tree ? repr_of(tree_to_py(*tree)) : repr_of(text_to_py(row));
    EXPECT_EQ(repr_of(json_row_to_py(row)), want);
  }
}

TEST(JsonRows, NestingBeyondTheLimitStaysText) {
  // Containers may nest 127 deep; one level more is not JSON.
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  PyRef deepest(json_row_to_py(nested(127)));
  ASSERT_TRUE(deepest);
  EXPECT_TRUE(PyList_Check(deepest.get()));
  PyRef too_deep(json_row_to_py(nested(128)));
  ASSERT_TRUE(too_deep);
  EXPECT_TRUE(PyUnicode_Check(too_deep.get()));
  // Far deeper input is refused just as cheaply, without recursion.
  PyRef hostile(json_row_to_py(std::string(1'000'000, '[')));
  ASSERT_TRUE(hostile);
  EXPECT_TRUE(PyUnicode_Check(hostile.get()));
}

TEST(SqlResults, ConvertByKind) {
  using sql::exec::SqlResult;
  struct Case {
    const char* name;
    SqlResult result;
    const char* repr;
  };
  const Case cases[] = {
      {"affected, keys in order", {SqlResult::Affected{3, 17, "inserted 3 rows"}},
       "{'rows': 3, 'commit_ts': 17, 'message': 'inserted 3 rows'}"},
      {"affected without commit timestamp", {SqlResult::Affected{0, std::nullopt, "rolled back"}},
       "{'rows': 0, 'commit_ts': None, 'message': 'rolled back'}"},
      {"largest counts", {SqlResult::Affected{UINT64_MAX, UINT64_MAX, ""}},
       "{'rows': 18446744073709551615, 'commit_ts': 18446744073709551615, 'message': ''}"},
      {"rows: JSON and not", {SqlResult::Rows{{R"({"id":1})", "users", "\xff"}}}, "[{'id': 1}, 'users', '\xEF\xBF\xBD']"},
      {"no rows", {SqlResult::Rows{}}, "[]"},
      {"explain text", {SqlResult::Explain{"Scan\n  x\xfe"}}, "'Scan\\n  x\xEF\xBF\xBD'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(repr_of(sql_result_to_py(c.result)), c.repr);
  }
}

TEST(SqlResults, ConvertedObjectsHaveOneOwner) {
  using sql::exec::SqlResult;
  PyRef affected(sql_result_to_py({SqlResult::Affected{1, 1ull << 40, "one row"}}));
  ASSERT_TRUE(affected);
  EXPECT_EQ(Py_REFCNT(affected.get()), 1);
  EXPECT_EQ(Py_REFCNT(PyDict_GetItemString(affected.get(), "commit_ts")), 1);
  EXPECT_EQ(Py_REFCNT(PyDict_GetItemString(affected.get(), "message")), 1);

  PyRef rows(sql_result_to_py({SqlResult::Rows{{R"({"a":"text","b":[1.5]})", "not json"}}}));
  ASSERT_TRUE(rows);
  EXPECT_EQ(Py_REFCNT(rows.get()), 1);
  PyObject* object = PyList_GET_ITEM(rows.get(), 0);
  EXPECT_EQ(Py_REFCNT(object), 1);
  EXPECT_EQ(Py_REFCNT(PyDict_GetItemString(object, "a")), 1);
  EXPECT_EQ(Py_REFCNT(PyDict_GetItemString(object, "b")), 1);
  EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(PyDict_GetItemString(object, "b"), 0)), 1);
  EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(rows.get(), 1)), 1);
}

TEST(SqlResults, EngineErrorBecomesRuntimeErrorWithDisplayText) {
  raise_engine_error(QuenlorError::sql_parse("unexpected token \xff"));
  PyRef raised(PyErr_GetRaisedException());
  ASSERT_TRUE(raised);
  EXPECT_EQ(repr_of(Py_NewRef(raised.get())), "RuntimeError('sql parse error: unexpected token \xEF\xBF\xBD')");
}

}  // namespace
}  // namespace quenlordb::python
