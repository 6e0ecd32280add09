#include "convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "util/json_scan.h"

namespace quenlordb::python {

namespace {

// The ints 0..255, created once per process (small ints, immortal in the interpreter).
PyObject* g_byte_ints[256] = {};

// The `str` objects of the member names met last, shared by every result of the process (used only
// while the interpreter lock is held); a name's hash is kept in its object. The references are
// never given back at exit: the interpreter is gone by then.
struct NameCacheEntry {
  std::string name;
  PyObject* object;
};
std::vector<NameCacheEntry> g_names;
constexpr std::size_t kMaxNames = 64;

// Builds interpreter objects straight from the scanner's events, without a JSON tree in between,
// under the document reader's rules (util/json_scan.h: the same numbers, the same nesting limit,
// the same texts refused). Objects gather their members and become a dict at their end, sorted by
// name in byte order with the last of repeated names kept. One builder serves every row of a
// result: its stacks keep their room; member names met before, in any result, reuse their `str`
// objects (g_names). A member name is held as a view of the row's text, or of a copy of its own
// when it holds an escape (the scanner decodes those into a buffer it reuses).
class PyRowBuilder {
 public:
  static constexpr bool kWantsValues = true;

  // Room for a row of a few levels and members at once, rather than grown member by member.
  PyRowBuilder() {
    frames_.reserve(4);
    members_.reserve(16);
  }

  // A new reference to the row's value; nullptr with the interpreter's error set, or with no
  // error when the text is not a document (the caller then makes it a `str`).
  PyObject* build(std::string_view row) {
    frames_.clear();
    members_.clear();
    decoded_names_.clear();
    row_ = row;
    root_ = PyRef();
    python_failed_ = false;
    util::JsonScanner<PyRowBuilder> scanner(row, *this);
    if (!scanner.parse_document()) {
      // Values still held are released here, under the interpreter lock.
      members_.clear();
      frames_.clear();
      root_ = PyRef();
      return nullptr;
    }
    return root_.release();
  }
  bool python_failed() const { return python_failed_; }

  bool null() { return add(Py_NewRef(Py_None)); }
  bool boolean(bool value) { return add(PyBool_FromLong(value)); }
  bool number(std::string_view token) {
    const util::JsonNumber n = util::json_number_parts(token);
    switch (n.form) {
      case util::JsonNumber::Form::Integer:
        return add(PyLong_FromLongLong(n.integer));
      case util::JsonNumber::Form::Unsigned:
        if (n.unsigned_ <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          return add(PyLong_FromUnsignedLongLong(n.unsigned_));
        return add(PyFloat_FromDouble(static_cast<double>(n.unsigned_)));
      case util::JsonNumber::Form::Float:
        break;
    }
    return add(PyFloat_FromDouble(n.floating));
  }
  bool string(std::string_view value) { return add(text_to_py(value)); }
  bool key(std::string_view name) {
    if (name.data() < row_.data() || name.data() + name.size() > row_.data() + row_.size()) {
      name = decoded_names_.emplace_back(name);
    }
    pending_name_ = name;
    return true;
  }
  bool start_object() {
    frames_.push_back(Frame{true, PyRef(), members_.size(), pending_name_});
    return true;
  }
  bool end_object() {
    const std::size_t first = frames_.back().first_member;
    pending_name_ = frames_.back().name_in_parent;
    frames_.pop_back();
    const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
    sort_by_name(begin, members_.end());
    // Made with room for every member at once: a dict grown one member at a time resizes.
    PyRef dict(new_dict(members_.end() - begin));
    if (!dict) return python_error();
    for (auto it = begin; it != members_.end(); ++it) {
      if (it + 1 != members_.end() && it->name == (it + 1)->name) continue;  // a later repeat wins
      PyObject* name = name_object(it->name);
      if (name == nullptr || PyDict_SetItem(dict.get(), name, it->value.get()) < 0) PyErr_Clear();
    }
    members_.erase(begin, members_.end());
    return add(dict.release());
  }
  bool start_array() {
    PyRef list(PyList_New(0));
    if (!list) return python_error();
    frames_.push_back(Frame{false, std::move(list), 0, pending_name_});
    return true;
  }
  bool end_array() {
    PyRef list = std::move(frames_.back().list);
    pending_name_ = frames_.back().name_in_parent;
    frames_.pop_back();
    return add(list.release());
  }

 private:
  struct Member {
    std::string_view name;
    PyRef value;
  };
  struct Frame {
    bool is_object;
    PyRef list;                       // an array's elements so far
    std::size_t first_member;         // an object's first member in members_
    std::string_view name_in_parent;  // the member name the value will have in an enclosing object
  };
  using MemberIt = std::vector<Member>::iterator;

  // Stable: of equal names the later stays later. Objects are small, so insertion sort does.
  static void sort_by_name(MemberIt begin, MemberIt end) {
    if (end - begin > 32) {
      std::stable_sort(begin, end, [](const Member& a, const Member& b) { return a.name < b.name; });
      return;
    }
    for (MemberIt i = begin + (begin != end ? 1 : 0); i < end; ++i) {
      for (MemberIt j = i; j != begin && (j - 1)->name > j->name; --j) std::iter_swap(j - 1, j);
    }
  }

  static PyObject* new_dict(std::ptrdiff_t members) {
#if !defined(Py_LIMITED_API)
    if (members > 5) return _PyDict_NewPresized(members);
#endif
    static_cast<void>(members);
    return PyDict_New();
  }

  // The `str` of a member name, borrowed from the cache (nullptr with the error set on failure).
  static PyObject* name_object(std::string_view name) {
    for (NameCacheEntry& e : g_names) {
      if (e.name == name) return e.object;
    }
    PyObject* object = text_to_py(name);
    if (object == nullptr) return nullptr;
    if (g_names.size() >= kMaxNames) {
      Py_DECREF(g_names.front().object);
      g_names.erase(g_names.begin());
    }
    g_names.push_back(NameCacheEntry{std::string(name), object});
    return object;
  }

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
    members_.push_back(Member{pending_name_, std::move(value)});
    return true;
  }
  bool python_error() {
    python_failed_ = true;
    return false;
  }

  std::vector<Frame> frames_;
  std::vector<Member> members_;  // the members of every open object, innermost last
  std::string_view pending_name_;
  std::string_view row_;                   // the text being built
  std::deque<std::string> decoded_names_;  // the names of the row that hold escapes
  PyRef root_;
  bool python_failed_ = false;
};

// A row that is an object of one member whose name and text hold only printable ASCII without
// quotes or backslashes, {"pk":"e000123"} say, as a rule the rows of a query of one column of
// keys: its name and text, found without the scanner; none for any other row. Such a row is a
// document, and the builder would make it the same dict.
struct OneTextMember {
  std::string_view name;
  std::string_view text;
};
std::optional<OneTextMember> one_text_member(std::string_view row) {
  // The place of the first quote from `from` on when every byte before it is printable ASCII other
  // than a backslash (a string's bytes as they are written), else npos.
  auto plain_until_quote = [](std::string_view s, std::size_t from) -> std::size_t {
    for (std::size_t i = from; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c == '"') return i;
      if (c < 0x20 || c >= 0x80 || c == '\\') return std::string_view::npos;
    }
    return std::string_view::npos;
  };
  if (row.size() < 7 || !row.starts_with("{\"") || !row.ends_with("\"}")) return std::nullopt;
  const std::size_t name_end = plain_until_quote(row, 2);
  if (name_end == std::string_view::npos || row.compare(name_end, 3, "\":\"") != 0) return std::nullopt;
  const std::size_t text_end = plain_until_quote(row, name_end + 3);
  if (text_end != row.size() - 2) return std::nullopt;
  return OneTextMember{row.substr(2, name_end - 2), row.substr(name_end + 3, text_end - name_end - 3)};
}

PyObject* row_to_py(PyRowBuilder& builder, std::string_view row) {
  if (PyObject* value = builder.build(row)) return value;
  if (builder.python_failed()) return nullptr;
  return text_to_py(row);
}

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
#if !defined(Py_LIMITED_API)
  // Most texts are ASCII: copied into a new compact string, without the decoder's passes.
  unsigned char high = 0;
  for (const char c : text) high |= static_cast<unsigned char>(c);
  if (high < 0x80) {
    PyObject* object = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (object != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(object), text.data(), text.size());
    return object;
  }
#endif
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
  PyRowBuilder builder;
  return row_to_py(builder, row);
}

PyObject* sql_result_to_py(const sql::exec::SqlResult& result) {
  using sql::exec::SqlResult;
  struct Visitor {
    PyObject* operator()(const SqlResult::Affected& affected) const {
      // The three keys, interned once for the process (their hashes kept), as the member names of
      // rows are (g_names).
      static PyObject* keys[3] = {};
      if (keys[0] == nullptr) {
        PyObject* made[3] = {PyUnicode_InternFromString("rows"), PyUnicode_InternFromString("commit_ts"),
                             PyUnicode_InternFromString("message")};
        if (made[0] == nullptr || made[1] == nullptr || made[2] == nullptr) {
          for (PyObject* key : made) Py_XDECREF(key);
          return nullptr;
        }
        std::copy(std::begin(made), std::end(made), std::begin(keys));
      }
      PyRef dict(PyDict_New());
      PyRef rows(PyLong_FromUnsignedLongLong(affected.rows));
      PyRef commit_ts(affected.commit_ts ? PyLong_FromUnsignedLongLong(*affected.commit_ts) : Py_NewRef(Py_None));
      PyRef message(text_to_py(affected.message));
      if (!dict || !rows || !commit_ts || !message) return nullptr;
      if (PyDict_SetItem(dict.get(), keys[0], rows.get()) < 0 ||
          PyDict_SetItem(dict.get(), keys[1], commit_ts.get()) < 0 ||
          PyDict_SetItem(dict.get(), keys[2], message.get()) < 0)
        return nullptr;
      return dict.release();
    }
    PyObject* operator()(const SqlResult::Rows& rows) const {
      // One builder serves the results of the process, its stacks keeping their room (never
      // destroyed: it outlives the interpreter). A conversion begun while another is under way (a
      // finaliser the interpreter runs meanwhile may call in again) builds with one of its own.
      static PyRowBuilder& shared = *new PyRowBuilder;
      static bool shared_in_use = false;
      if (shared_in_use) {
        PyRowBuilder own;
        return convert(rows, own);
      }
      shared_in_use = true;
      struct Release {
        ~Release() { shared_in_use = false; }
      } release;
      return convert(rows, shared);
    }
    static PyObject* convert(const SqlResult::Rows& rows, PyRowBuilder& builder) {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.rows.size())));
      if (!list) return nullptr;
      // The member name of the last row of one text member, and its `str`, which the rows of a
      // column of keys share.
      std::string_view name;
      PyRef name_object;
      for (std::size_t i = 0; i < rows.rows.size(); ++i) {
        PyObject* row = nullptr;
        if (rows.text) {
          row = text_to_py(rows.rows[i]);
        } else if (const std::optional<OneTextMember> member = one_text_member(rows.rows[i])) {
          if (!name_object || member->name != name) {
            name = member->name;
            name_object = PyRef(text_to_py(name));
            if (!name_object) return nullptr;
          }
          row = one_member_dict(name_object.get(), member->text);
        } else {
          row = row_to_py(builder, rows.rows[i]);
        }
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
      }
      return list.release();
    }
    static PyObject* one_member_dict(PyObject* name, std::string_view text) {
      PyRef value(text_to_py(text));
      PyRef dict(PyDict_New());
      if (!value || !dict) return nullptr;
      if (PyDict_SetItem(dict.get(), name, value.get()) < 0) PyErr_Clear();  // skipped, as the builder does
      return dict.release();
    }
    PyObject* operator()(const SqlResult::Explain& explain) const { return text_to_py(explain.text); }
  };
  return std::visit(Visitor{}, result.value);
}

}  // namespace quenlordb::python
