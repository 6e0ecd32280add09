#include "arguments.h"

#include <vector>

namespace quenlordb::python {

namespace {

// Restates a TypeError raised while extracting `name` as "argument '<name>': <message>"; any other
// error (OverflowError in particular) stays as it is.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef raised(PyErr_GetRaisedException());
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, raised.get());
}

bool wrong_type(const char* name, const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", name, expected, Py_TYPE(obj)->tp_name);
  return false;
}

// The names of the missing parameters: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

// obj itself when it is an int, else the int its __index__ gives (held by *holder).
PyObject* as_int(PyObject* obj, const char* name, PyRef* holder) {
  if (PyLong_Check(obj)) return obj;
  *holder = PyRef(PyNumber_Index(obj));
  if (!*holder) prefix_type_error(name);
  return holder->get();
}

bool extract_byte(PyObject* item, const char* name, unsigned char* out) {
  PyRef holder;
  PyObject* value = as_int(item, name, &holder);
  if (value == nullptr) return false;
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return false;
  }
  if (overflow > 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
  }
  *out = static_cast<unsigned char>(v);
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
  const std::size_t count = sig.params.size();
  if (static_cast<std::size_t>(nargs) > count) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required == count)
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.method, count, nargs, verb);
    else
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.method,
                   sig.required, count, nargs, verb);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) bound[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < count && PyUnicode_CompareWithASCIIString(keyword, sig.params[index]) != 0) ++index;
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.method, keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.method, sig.params[index]);
      return false;
    }
    bound[index] = args[nargs + k];
  }

  std::size_t nmissing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) nmissing += bound[i] == nullptr;
  if (nmissing > 0) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
      if (bound[i] == nullptr) missing.push_back(sig.params[i]);
    const std::string names = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.method, nmissing,
                 nmissing == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

bool extract_str(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) return wrong_type(name, "str", obj);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  *out = {data, static_cast<std::size_t>(size)};
  return true;
}

bool extract_path(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) return wrong_type(name, "str", obj);
  PyRef encoded(PyUnicode_EncodeFSDefault(obj));
  if (!encoded) return false;
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (bytes.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out->assign(bytes);
  return true;
}

bool extract_bytes(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyBytes_Check(obj)) return wrong_type(name, "bytes", obj);
  *out = {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
  return true;
}

bool extract_u64(PyObject* obj, const char* name, std::uint64_t* out) {
  PyRef holder;
  PyObject* value = as_int(obj, name, &holder);
  if (value == nullptr) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool extract_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::uint64_t v = 0;
  if (!extract_u64(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool extract_byte_sequence(PyObject* obj, const char* name, std::string* out) {
  if (PyBytes_CheckExact(obj)) {
    out->assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyByteArray_CheckExact(obj)) {
    out->assign(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not a sequence", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  // A list comes back as itself and may change while its items are read (an item's __index__ runs
  // arbitrary code), so its length is read afresh for every item and each item is held while used.
  PyRef items(PySequence_Fast(obj, "object is not a sequence"));
  if (!items) {
    prefix_type_error(name);
    return false;
  }
  out->clear();
  out->reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    unsigned char byte = 0;
    if (!extract_byte(item.get(), name, &byte)) return false;
    out->push_back(static_cast<char>(byte));
  }
  return true;
}

}  // namespace quenlordb::python
