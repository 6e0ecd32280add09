// Binding of a method call's arguments (vectorcall form: positional array plus keyword names) to
// the method's parameters, and extraction of each argument into the engine's types. Binding
// failures raise TypeError with the texts the interpreter's users know ("missing 1 required
// positional argument: 'key'"); extraction failures raise TypeError prefixed with
// "argument '<name>': ", or OverflowError unprefixed for integers out of range. Every function
// returns false with the interpreter's error set on failure. Interpreter lock held.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quenlordb::python {

struct Signature {
  const char* method;                   // as shown in messages, e.g. "PyDatabase.put()"
  std::span<const char* const> params;  // parameter names in order
  std::size_t required;                 // the first `required` params must be given
};

// Fills bound[0..params.size()) with borrowed references, nullptr for an optional parameter not
// given.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

// A `str` as UTF-8; the view lives as long as obj.
bool extract_str(PyObject* obj, const char* name, std::string_view* out);
// A `str` naming a file system path, encoded as the interpreter's own file functions encode paths
// (so a name read from os.listdir comes back to the same file); a NUL character is refused with
// ValueError("embedded null byte") rather than cutting the path short.
bool extract_path(PyObject* obj, const char* name, std::string* out);
// A `bytes` object (no other buffer type); the view lives as long as obj.
bool extract_bytes(PyObject* obj, const char* name, std::string_view* out);
// An integer 0..2^64-1 (anything with __index__).
bool extract_u64(PyObject* obj, const char* name, std::uint64_t* out);
// As extract_u64; nullptr (not given) and None give nullopt.
bool extract_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>* out);
// A sequence of integers 0..255: bytes and bytearray directly, any other sequence item by item.
// A `str` is refused.
bool extract_byte_sequence(PyObject* obj, const char* name, std::string* out);

}  // namespace quenlordb::python
