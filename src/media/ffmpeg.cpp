#include "ffmpeg.hpp"

namespace kestro::media {

using py::concat;
using py::list_of;

#define FFMPEG_HEAD k(K::ffmpeg), k(K::opt_y), k(K::opt_loglevel), k(K::error)

Ref cut_command(PyObject* start, PyObject* end, PyObject* video, PyObject* clip) {
  return list_of(FFMPEG_HEAD, k(K::opt_ss), start, k(K::opt_to), end, k(K::opt_i), video,
                 k(K::opt_c), k(K::copy), k(K::opt_an), clip);
}

Ref merge_command(PyObject* clip, PyObject* voice, PyObject* merged) {
  return list_of(FFMPEG_HEAD, k(K::opt_i), clip, k(K::opt_i), voice, k(K::opt_map), k(K::map_video),
                 k(K::opt_map), k(K::map_audio), k(K::opt_cv), k(K::copy), k(K::opt_ca), k(K::aac),
                 k(K::opt_shortest), merged);
}

Ref concat_command(PyObject* filelist, PyObject* output) {
  return list_of(FFMPEG_HEAD, k(K::opt_f), k(K::concat), k(K::opt_safe), k(K::zero), k(K::opt_i),
                 filelist, k(K::opt_c), k(K::copy), output);
}

Ref video_filter(double speed) {
  return concat(k(K::setpts), fixed_text(1.0 / speed, 6), k(K::vf_tail));
}

Ref export_base(PyObject* input, PyObject* vf_filter, PyObject* af_filter) {
  return list_of(FFMPEG_HEAD, k(K::opt_i), input, k(K::opt_vf), vf_filter, k(K::opt_af), af_filter,
                 k(K::opt_ca), k(K::aac));
}

Ref gpu_command(PyObject* ffmpeg_base, PyObject* output) {
  return py::extended(ffmpeg_base, k(K::opt_cv), k(K::h264_nvenc), k(K::opt_preset), k(K::p1),
                      k(K::opt_cq), k(K::quality), output);
}

Ref cpu_command(PyObject* ffmpeg_base, PyObject* output) {
  return py::extended(ffmpeg_base, k(K::opt_cv), k(K::libx264), k(K::opt_preset), k(K::ultrafast),
                      k(K::opt_crf), k(K::quality), output);
}

#undef FFMPEG_HEAD

void run_checked(PyObject* argv) {
  py::call_kw(member(K::subprocess, K::run).get(), kw(KW::check), argv, Py_True);
}

Ref run_captured(PyObject* argv) {
  return py::call_kw(member(K::subprocess, K::run).get(), kw(KW::capture_output), argv, Py_True);
}

namespace {

// "file '" + path + "'\n", with every "'" in the path written as "'\''".
Ref list_line(PyObject* path) {
  for (K forbidden : {K::line_feed, K::carriage_return}) {
    if (py::check_status(PySequence_Contains(path, k(forbidden)))) {
      PyErr_Format(PyExc_ValueError, raw::line_break_in_path, path);
      py::raise();
    }
  }
  Ref quoted = py::check(PyUnicode_Replace(path, k(K::quote_mark), k(K::escaped_quote), -1));
  return concat(k(K::list_line_head), quoted, k(K::list_line_tail));
}

}  // namespace

Ref concat_list_lines(PyObject* files) {
  Ref lines = py::check(PyList_New(0));
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(files); ++j) {
    Ref absolute =
        py::call(py::attr(member(K::os, K::path), k(K::abspath)).get(), PyList_GET_ITEM(files, j));
    py::check_status(PyList_Append(lines.get(), list_line(absolute.get()).get()));
  }
  return lines;
}

}  // namespace kestro::media
