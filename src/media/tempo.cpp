// The tempo filter chain: one "atempo" filter covers factors up to 2.0, so a faster speed is
// a chain of "atempo=2.0" filters and a last factor in (1.0, 2.0].
#include <cmath>
#include <string>

#include "../module/runtime.hpp"

namespace kestro {

namespace {

// Appends `text`'s UTF-8 form (our constants are ASCII) to `out`.
void append(std::string& out, K text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(k(text), &size);
  out.append(data, static_cast<size_t>(size));
}

// The interpreter's own double-to-text: 'r' is repr(), 'f' fixed-point with `digits`.
void append_double(std::string& out, double value, char mode, int digits) {
  char* text = PyOS_double_to_string(value, mode, digits, mode == 'r' ? Py_DTSF_ADD_DOT_0 : 0, nullptr);
  if (!text) py::raise();
  out.append(text);
  PyMem_Free(text);
}

Ref text(const std::string& ascii) {
  return py::check(PyUnicode_DecodeASCII(ascii.data(), static_cast<Py_ssize_t>(ascii.size()), nullptr));
}

}  // namespace

// Lines of the body as its traceback entries quote them.
Ref build_atempo_chain(py::Frame& fr, const Args& a) {
  double speed = a.number;
  std::string filters;
  fr.at(102);
  if (!(speed > 2.0)) {
    fr.at(103);
    append(filters, K::atempo);
    append_double(filters, speed, 'r', 0);
    return text(filters);
  }
  fr.at(104);
  if (std::isinf(speed)) {
    PyErr_SetString(PyExc_ValueError, raw::infinite_speed);
    py::raise();
  }
  fr.at(106);
  double remaining = speed;
  while (remaining > 2.0) {
    append(filters, K::atempo_full);
    append(filters, K::comma);
    remaining *= 0.5;
  }
  fr.at(110);
  append(filters, K::atempo);
  append_double(filters, remaining, 'f', 4);
  fr.at(111);
  return text(filters);
}

const FunctionInfo build_atempo_chain_info = {
    .name = K::build_atempo_chain,
    .traceback_name = K::tb_build_atempo_chain,
    .doc = K::doc_build_atempo_chain,
    .line_table = K::lines_build_atempo_chain,
    .line = 97,
    .number_line = 97,
    .count = 1,
    .required = 1,
    .params = {{K::speed, Kind::number}},
    .returns = K::ann_str,
    .local_count = 2,
    .locals = {K::filters, K::remaining},
    .tests_result = false,
    .body = build_atempo_chain,
};

}  // namespace kestro
