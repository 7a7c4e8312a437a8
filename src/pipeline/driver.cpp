// run_kestro: download, narrate and cut every Segment, join, export vertically, clean up.
#include "../media/ffmpeg.hpp"
#include "segments.hpp"

namespace kestro {

using py::call;
using py::concat;
using py::item;

namespace {

// os.path.join(output_dir, name)
Ref join(PyObject* output_dir, PyObject* name) {
  return call(py::attr(member(K::os, K::path), k(K::join)).get(), output_dir, name);
}

// output_dir/<prefix><i><ext>
Ref working_file(PyObject* output_dir, K prefix, Py_ssize_t i, K ext) {
  return join(output_dir, concat(k(prefix), decimal(i), k(ext)).get());
}

// if os.path.exists(path): os.remove(path)  (on `line` and the next)
void remove_if_present(py::Frame& fr, int line, PyObject* path) {
  fr.at(line);
  if (py::truth(call(py::attr(member(K::os, K::path), k(K::exists)).get(), path))) {
    fr.at(line + 1);
    call(member(K::os, K::remove).get(), path);
  }
}

Ref run_kestro(py::Frame& fr, const Args& a) {
  PyObject* youtube_url = a.slot[0];
  PyObject* segments_file = a.slot[1];
  double speed_factor = a.number;
  PyObject* tts_voice = a.slot[3];
  PyObject* output_dir = a.slot[4];

  // 1. the working-file paths
  fr.at(134);
  Ref VIDEO_FILE = join(output_dir, k(K::movie_mp4));
  fr.at(135);
  Ref TEMP_OUTPUT = join(output_dir, k(K::horizontal_final_mp4));
  fr.at(136);
  Ref FINAL_OUTPUT = join(output_dir, k(K::final_kestro_mp4));
  fr.at(137);
  Ref FILELIST = join(output_dir, k(K::filelist_txt));

  // 2. a leftover source video is always fetched again
  remove_if_present(fr, 139, VIDEO_FILE.get());
  // 3. download
  fr.at(142);
  call(global(K::download_video).get(), youtube_url, VIDEO_FILE);
  // 4. the Segments
  Ref segments = pipeline::load_segments(fr, 144, segments_file);
  fr.at(146);
  Py_ssize_t count = PyObject_Length(segments.get());
  if (count < 0) py::raise();
  print(concat(k(K::processing), decimal(count), k(K::segments_tail)));

  // 5. per Segment: narration, pause, cut, merge, record, clean-up
  fr.at(148);
  Ref final_files = py::check(PyList_New(0));
  fr.at(149);
  Ref iterator = py::check(PyObject_GetIter(segments.get()));
  for (Py_ssize_t i = 0;; ++i) {
    fr.at(149);
    Ref seg = Ref::steal(PyIter_Next(iterator.get()));
    if (!seg) {
      if (PyErr_Occurred()) py::raise();
      break;
    }
    fr.at(150);
    print(pipeline::progress_line(seg.get(), i, segments.get()));
    fr.at(151);
    Ref clip_file = working_file(output_dir, K::clip_, i, K::ext_mp4);
    fr.at(152);
    Ref voice_file = working_file(output_dir, K::voice_, i, K::ext_mp3);
    fr.at(153);
    Ref merged_file = working_file(output_dir, K::merged_, i, K::ext_mp4);
    fr.at(154);
    call(global(K::generate_tts).get(), item(seg, k(K::voiceover)), voice_file, tts_voice);
    fr.at(155);
    call(member(K::time, K::sleep).get(), C.half);
    fr.at(156);
    media::run_checked(media::cut_command(item(seg, k(K::start)).get(), item(seg, k(K::end)).get(),
                                          VIDEO_FILE.get(), clip_file.get())
                           .get());
    fr.at(157);
    media::run_checked(
        media::merge_command(clip_file.get(), voice_file.get(), merged_file.get()).get());
    fr.at(158);
    py::check_status(PyList_Append(final_files.get(), merged_file.get()));
    remove_if_present(fr, 160, clip_file.get());
    remove_if_present(fr, 160, voice_file.get());
  }

  // 6-7. the concat list and the horizontal result
  fr.at(163);
  print(k(K::concatenating));
  fr.at(164);
  Ref lines = media::concat_list_lines(final_files.get());
  Ref list_file = call(cached.open, FILELIST, k(K::mode_w));
  py::with_block(fr, k(K::tb_run_kestro), 164, list_file.get(), [&](PyObject* f) {
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(lines.get()); ++j) {
      fr.at(166);
      py::call_method(f, k(K::write), PyList_GET_ITEM(lines.get(), j));
    }
  });
  fr.at(167);
  media::run_checked(media::concat_command(FILELIST.get(), TEMP_OUTPUT.get()).get());

  // 8. the export's filters and both command vectors, before anything runs
  fr.at(169);
  print(concat(k(K::converting), float_text(speed_factor), k(K::x_speed)));
  fr.at(170);
  Ref vf_filter = media::video_filter(speed_factor);
  fr.at(171);
  Ref af_filter =
      call(global(K::build_atempo_chain).get(), py::check(PyFloat_FromDouble(speed_factor)));
  fr.at(172);
  Ref ffmpeg_base = media::export_base(TEMP_OUTPUT.get(), vf_filter.get(), af_filter.get());
  fr.at(173);
  Ref gpu_cmd = media::gpu_command(ffmpeg_base.get(), FINAL_OUTPUT.get());
  fr.at(174);
  Ref cpu_cmd = media::cpu_command(ffmpeg_base.get(), FINAL_OUTPUT.get());

  // 9. hardware encoder first, the software encoder when it fails
  fr.at(175);
  Ref result = media::run_captured(gpu_cmd.get());
  fr.at(176);
  if (py::compare(py::attr(result, k(K::returncode)), C.n0, Py_NE)) {
    fr.at(177);
    print(k(K::gpu_unavailable));
    fr.at(178);
    media::run_checked(cpu_cmd.get());
  }

  // 10. clean-up: merged files in order, then the list, then the source
  fr.at(180);
  print(k(K::cleaning_up));
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(final_files.get()); ++j)
    remove_if_present(fr, 182, PyList_GET_ITEM(final_files.get(), j));
  remove_if_present(fr, 185, FILELIST.get());
  remove_if_present(fr, 185, VIDEO_FILE.get());

  // 11. report
  fr.at(188);
  print(concat(k(K::done_horizontal), TEMP_OUTPUT));
  fr.at(189);
  print(concat(k(K::done_vertical), FINAL_OUTPUT));
  fr.at(190);
  return FINAL_OUTPUT;
}

}  // namespace

const FunctionInfo run_kestro_info = {
    .name = K::run_kestro,
    .traceback_name = K::tb_run_kestro,
    .doc = K::doc_run_kestro,
    .line_table = K::lines_run_kestro,
    .line = 114,
    .number_line = 117,
    .count = 5,
    .required = 4,
    .params = {{K::youtube_url, Kind::text},
               {K::segments_file, Kind::text},
               {K::speed_factor, Kind::number},
               {K::tts_voice, Kind::text},
               {K::output_dir, Kind::text}},
    .returns = K::ann_str,
    .local_count = 21,
    .locals = {K::VIDEO_FILE, K::TEMP_OUTPUT, K::FINAL_OUTPUT, K::FILELIST,
               K::f,          K::segments,    K::final_files,  K::i,
               K::seg,        K::clip_file,   K::voice_file,   K::merged_file,
               K::file,       K::vf_filter,   K::af_filter,    K::ffmpeg_base,
               K::gpu_cmd,    K::cpu_cmd,     K::result,       K::merged,
               K::path},
    .tests_result = true,
    .body = run_kestro,
};

}  // namespace kestro
