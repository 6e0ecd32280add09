#include "convert.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "util/json_record.h"

namespace quenlordb::python {

namespace {

// The ints 0..255, created once per process (small ints, immortal in the interpreter).
PyObject* g_byte_ints[256] = {};

// Builds interpreter objects straight from the parser's events, without a JSON tree in between.
// Nesting is bounded by util::kJsonMaxDepth, so neither the parse nor the objects built grow without
// bound in depth. Objects gather their members and are turned into a dict at their end, sorted by
// name in byte order with the last of repeated names kept.
class PyJsonBuilder final : public nlohmann::json_sax<nlohmann::json> {
 public:
  // True after a complete, well-formed text; the result is then in take_root().
  // python_failed() tells an interpreter error (set, to be propagated) from text that is not JSON.
  bool python_failed() const { return python_failed_; }
  PyObject* take_root() { return root_.release(); }

  bool null() override { return add(Py_NewRef(Py_None)); }
  bool boolean(bool value) override { return add(PyBool_FromLong(value)); }
  bool number_integer(number_integer_t value) override { return add(PyLong_FromLongLong(value)); }
  bool number_unsigned(number_unsigned_t value) override {
    if (value <= static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
      return add(PyLong_FromUnsignedLongLong(value));
    return add(PyFloat_FromDouble(static_cast<double>(value)));
  }
  bool number_float(number_float_t value, const string_t&) override { return add(PyFloat_FromDouble(value)); }
  bool string(string_t& value) override { return add(text_to_py(value)); }
  bool binary(binary_t&) override { return false; }  // JSON text carries no binary values

  bool start_object(std::size_t) override {
    if (frames_.size() >= util::kJsonMaxDepth) return false;
    Frame frame;
    frame.is_object = true;
    frames_.push_back(std::move(frame));
    return true;
  }
  bool key(string_t& name) override {
    frames_.back().pending_name = std::move(name);
    return true;
  }
  bool end_object() override {
    std::vector<Member> members = std::move(frames_.back().members);
    frames_.pop_back();
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.name < b.name; });
    PyRef dict(PyDict_New());
    if (!dict) return python_error();
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i].name == members[i + 1].name) continue;  // a later repeat wins
      PyRef name(text_to_py(members[i].name));
      if (!name || PyDict_SetItem(dict.get(), name.get(), members[i].value.get()) < 0) PyErr_Clear();
    }
    return add(dict.release());
  }

  bool start_array(std::size_t) override {
    if (frames_.size() >= util::kJsonMaxDepth) return false;
    PyRef list(PyList_New(0));
    if (!list) return python_error();
    Frame frame;
    frame.list = std::move(list);
    frames_.push_back(std::move(frame));
    return true;
  }
  bool end_array() override {
    PyRef list = std::move(frames_.back().list);
    frames_.pop_back();
    return add(list.release());
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  struct Member {
    std::string name;
    PyRef value;
  };
  struct Frame {
    bool is_object = false;
    PyRef list;                   // an array's elements so far
    std::vector<Member> members;  // an object's members so far, in text order
    std::string pending_name;     // the name of the member whose value comes next
  };

  // Takes a new reference (nullptr: the interpreter failed) and places it in the enclosing value.
  bool add(PyObject* raw) {
    PyRef value(raw);
    if (!value) return python_error();
    if (frames_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = frames_.back();
    if (!top.is_object) return PyList_Append(top.list.get(), value.get()) == 0 || python_error();
    top.members.push_back(Member{std::move(top.pending_name), std::move(value)});
    return true;
  }
  bool python_error() {
    python_failed_ = true;
    return false;
  }

  std::vector<Frame> frames_;
  PyRef root_;
  bool python_failed_ = false;
};

}  // namespace

bool init_byte_ints() {
  for (long i = 0; i < 256; ++i) {
    if (g_byte_ints[i] != nullptr) continue;
    g_byte_ints[i] = PyLong_FromLong(i);
    if (g_byte_ints[i] == nullptr) return false;
  }
  return true;
}

PyObject* text_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* bytes_to_int_list(std::string_view bytes) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(g_byte_ints[static_cast<unsigned char>(bytes[i])]));
  return list;
}

PyObject* json_row_to_py(std::string_view row) {
  PyJsonBuilder builder;
  if (nlohmann::json::sax_parse(row.data(), row.data() + row.size(), &builder)) return builder.take_root();
  if (builder.python_failed()) return nullptr;
  return text_to_py(row);
}

PyObject* sql_result_to_py(const sql::exec::SqlResult& result) {
  using sql::exec::SqlResult;
  struct Visitor {
    PyObject* operator()(const SqlResult::Affected& affected) const {
      PyRef dict(PyDict_New());
      PyRef rows(PyLong_FromUnsignedLongLong(affected.rows));
      PyRef commit_ts(affected.commit_ts ? PyLong_FromUnsignedLongLong(*affected.commit_ts) : Py_NewRef(Py_None));
      PyRef message(text_to_py(affected.message));
      if (!dict || !rows || !commit_ts || !message) return nullptr;
      if (PyDict_SetItemString(dict.get(), "rows", rows.get()) < 0 ||
          PyDict_SetItemString(dict.get(), "commit_ts", commit_ts.get()) < 0 ||
          PyDict_SetItemString(dict.get(), "message", message.get()) < 0)
        return nullptr;
      return dict.release();
    }
    PyObject* operator()(const SqlResult::Rows& rows) const {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.rows.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < rows.rows.size(); ++i) {
        PyObject* row = json_row_to_py(rows.rows[i]);
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
      }
      return list.release();
    }
    PyObject* operator()(const SqlResult::Explain& explain) const { return text_to_py(explain.text); }
  };
  return std::visit(Visitor{}, result.value);
}

}  // namespace quenlordb::python
