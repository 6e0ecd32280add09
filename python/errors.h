// How failures become interpreter exceptions: engine errors are raised as RuntimeError carrying the
// error's display text; an internal fault (a Panic, or any other C++ exception) is raised as
// PanicException, a BaseException subclass, so that ordinary `except Exception` handlers do not
// swallow it. Every entry point from the interpreter runs its body through call_guarded, so no C++
// exception ever unwinds into interpreter frames. Interpreter lock held throughout.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <exception>
#include <string_view>

#include "error.h"

namespace quenlordb::python {

// Creates the process's PanicException class on first call; false with the error set on failure.
bool init_panic_exception();
// The class (borrowed), or nullptr before init_panic_exception succeeded.
PyObject* panic_exception_type();

// Raises RuntimeError(error.to_string()). Returns nullptr so a caller can `return raise_engine_error(e);`.
std::nullptr_t raise_engine_error(const QuenlorError& error);
// Raises PanicException(message) (SystemError if the class does not exist yet).
void raise_panic(std::string_view message);

// Runs body (returning a new reference, or nullptr with an error set) and turns any C++ exception
// that escapes it into PanicException.
template <typename Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

}  // namespace quenlordb::python
