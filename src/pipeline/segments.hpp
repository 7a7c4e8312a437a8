// The segments file: a JSON array of {"start", "end", "voiceover"} objects, read whole and
// used as the parser made it; keys are looked up only when the run needs them.
#pragma once

#include "../module/runtime.hpp"

namespace kestro::pipeline {

// with open(segments_file, encoding="utf-8") as f: segments = json.load(f)
// `open_line` is the line of the with statement; the load is on the next one.
Ref load_segments(py::Frame& fr, int open_line, PyObject* segments_file);

// "  Segment <i+1>/<count>: <start> → <end>", both values looked up before anything prints.
Ref progress_line(PyObject* seg, Py_ssize_t i, PyObject* segments);

}  // namespace kestro::pipeline
