// The ffmpeg runs: every one is subprocess.run with an argument vector that starts with
// "ffmpeg", "-y", "-loglevel", "error"; all but the hardware-encoder attempt pass check=True.
#pragma once

#include "../module/runtime.hpp"

namespace kestro::media {

// The Segment's range copied out of the source, video only.
Ref cut_command(PyObject* start, PyObject* end, PyObject* video, PyObject* clip);
// The silent clip with the narration as its sound, as long as the shorter of the two.
Ref merge_command(PyObject* clip, PyObject* voice, PyObject* merged);
// The files of a concat list joined without re-encoding.
Ref concat_command(PyObject* filelist, PyObject* output);

// "setpts=<1/speed>*PTS,scale=...,crop=1080:1920"
Ref video_filter(double speed);
Ref export_base(PyObject* input, PyObject* vf_filter, PyObject* af_filter);
Ref gpu_command(PyObject* ffmpeg_base, PyObject* output);
Ref cpu_command(PyObject* ffmpeg_base, PyObject* output);

// subprocess.run(argv, check=True)
void run_checked(PyObject* argv);
// subprocess.run(argv, capture_output=True)
Ref run_captured(PyObject* argv);

// The lines of a concat list, one per file of the list `files`, each path absolute and quoted for
// ffmpeg. A path with a line break cannot be listed: ValueError.
Ref concat_list_lines(PyObject* files);

}  // namespace kestro::media
