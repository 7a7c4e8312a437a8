#include "runtime.hpp"

#include <cstring>

namespace kestro {

namespace {

Ref text_of(const DoubleText& text) {
  return py::check(
      PyUnicode_DecodeASCII(text.get(), static_cast<Py_ssize_t>(std::strlen(text.get())), nullptr));
}

}  // namespace

DoubleText double_text(double value, char mode, int digits) {
  char* text =
      PyOS_double_to_string(value, mode, digits, mode == 'r' ? Py_DTSF_ADD_DOT_0 : 0, nullptr);
  if (!text) py::raise();
  return {text, PyMem_Free};
}

Ref decimal(Py_ssize_t n) { return py::str(py::check(PyLong_FromSsize_t(n))); }

Ref float_text(double value) { return text_of(double_text(value, 'r', 0)); }

Ref fixed_text(double value, int digits) { return text_of(double_text(value, 'f', digits)); }

}  // namespace kestro
