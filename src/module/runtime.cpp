#include "runtime.hpp"

namespace kestro {

namespace {

Ref text_of(char* text) {
  if (!text) py::raise();
  PyObject* out = PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(strlen(text)), nullptr);
  PyMem_Free(text);
  return py::check(out);
}

}  // namespace

Ref float_text(double value) { return text_of(PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr)); }

Ref fixed_text(double value, int digits) { return text_of(PyOS_double_to_string(value, 'f', digits, 0, nullptr)); }

}  // namespace kestro
