// Module-global name lookup, traceback entries and the with-block protocol.
#pragma once

#include "ref.hpp"

namespace py {

// What the bodies resolve names against; set once by the module's execute step.
struct Scope {
  PyObject* ns = nullptr;             // the module namespace (borrowed from the module)
  PyObject* builtins = nullptr;       // the builtins module
  PyObject* source_file = nullptr;    // file name shown in traceback entries
  PyObject* exit_no_error = nullptr;  // (None, None, None)
  PyObject* enter_name = nullptr;     // "__enter__"
  PyObject* exit_name = nullptr;      // "__exit__"
  const char* name_error = nullptr;   // the NameError format, "%U" standing for the name
  const char* not_text = nullptr;     // the TypeError format for a non-str joined to a str
};
inline Scope scope;

// The source line a body is at, kept for its traceback entry.
struct Frame {
  int line;
  void at(int l) noexcept { line = l; }
};

// Namespace first, then builtins, then NameError; nothing is cached.
Ref lookup(PyObject* name);

// Adds one entry (function `name`, line `line`, file scope.source_file) to the traceback
// of the pending exception, as the caller of the entries already there. The exception
// itself is left as it is.
void add_traceback(PyObject* name, int line);

// Leaving a with-block by an exception: the entry for the failing statement is added, then
// __exit__(type, value, tb) is called. Returns true if __exit__ swallowed the exception;
// otherwise the exception (or one raised by __exit__) is pending again.
bool exit_with_error(PyObject* exit, PyObject* name, int line);

// with mgr as value: body(value)
// When the exception leaves the block, `fr.line` is the line of the with statement again, so
// the boundary adds the second entry for it.
template <class Body>
void with_block(Frame& fr, PyObject* name, int line, PyObject* mgr, Body&& body) {
  fr.at(line);
  Ref enter = check(PyObject_GetAttr(mgr, scope.enter_name));
  Ref exit = check(PyObject_GetAttr(mgr, scope.exit_name));
  Ref value = check(PyObject_CallNoArgs(enter.get()));
  try {
    body(value.get());
  } catch (Error&) {
    bool swallowed = exit_with_error(exit.get(), name, fr.line);
    fr.at(line);
    if (swallowed) return;
    throw;
  }
  fr.at(line);
  check(PyObject_Call(exit.get(), scope.exit_no_error, nullptr));
}

}  // namespace py
