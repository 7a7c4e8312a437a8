// What the bodies are written in: module globals by name, the cached print and open, and
// the object helpers of the plumbing layer.
#pragma once

#include <memory>

#include "../py/call.hpp"
#include "../py/scope.hpp"
#include "constants.hpp"
#include "function.hpp"

namespace kestro {

using py::Ref;

// `print` and `open` as the builtins module had them at import.
struct Cached {
  PyObject* print;
  PyObject* open;
};
inline Cached cached;

// A module-level name, resolved now: namespace, then builtins.
inline Ref global(K name) { return py::lookup(k(name)); }
// module.name for a module-level module, e.g. member(K::time, K::sleep).
inline Ref member(K module, K name) { return py::attr(global(module), k(name)); }

inline void print(PyObject* text) { py::call(cached.print, text); }
inline void print(const Ref& text) { print(text.get()); }

// The interpreter's own double-to-text, as a C string: mode 'r' is repr(), 'f' fixed-point
// with `digits` after the point.
using DoubleText = std::unique_ptr<char, void (*)(void*)>;
DoubleText double_text(double value, char mode, int digits);

// A whole number in decimal, as str() of an int gives it.
Ref decimal(Py_ssize_t n);
// The float text form: what repr() gives for a float.
Ref float_text(double value);
// `value` in fixed-point notation with `digits` after the point, as format(value, ".Nf").
Ref fixed_text(double value, int digits);

}  // namespace kestro
