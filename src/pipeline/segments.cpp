#include "segments.hpp"

namespace kestro::pipeline {

using py::call;
using py::item;

Ref load_segments(py::Frame& fr, int open_line, PyObject* segments_file) {
  fr.at(open_line);
  Ref file = py::call_kw(cached.open, kw(KW::encoding), segments_file, k(K::utf_8));
  Ref segments;
  py::with_block(fr, k(K::tb_run_kestro), open_line, file.get(), [&](PyObject* f) {
    fr.at(open_line + 1);
    segments = call(member(K::json, K::load).get(), f);
  });
  if (!segments) {  // an opener whose __exit__ swallowed the failure of json.load
    PyErr_Format(PyExc_UnboundLocalError, raw::unbound_local, utf8(K::segments));
    py::raise();
  }
  return segments;
}

namespace {

// What an f-string field with an empty format makes of a value.
Ref field(const Ref& value) { return py::format(value, C.empty_str); }

}  // namespace

Ref progress_line(PyObject* seg, Py_ssize_t i, PyObject* segments) {
  Ref start = item(seg, k(K::start));
  Ref end = item(seg, k(K::end));
  Py_ssize_t count = PyObject_Length(segments);
  if (count < 0) py::raise();
  return py::concat(k(K::segment_prefix), decimal(i + 1), k(K::slash), decimal(count),
                    k(K::colon_space), field(start), k(K::arrow), field(end));
}

}  // namespace kestro::pipeline
