// The speech client: one POST, a Base64 answer, one file.
#include "../module/runtime.hpp"

namespace kestro {

using py::call;
using py::call_kw;
using py::call_method;
using py::concat;

namespace {

constexpr int kOpenLine = 92;

Ref generate_tts(py::Frame& fr, const Args& a) {
  PyObject* text = a.slot[0];
  PyObject* output_file = a.slot[1];
  PyObject* voice = a.slot[2];

  fr.at(78);
  PyObject* url = k(K::speech_url);
  fr.at(79);
  Ref payload = py::dict_of(k(K::text), text, k(K::voice), voice);
  fr.at(80);
  Ref headers = py::dict_of(k(K::accept), k(K::accept_any),              //
                            k(K::content_type), k(K::application_json),  //
                            k(K::origin), k(K::speech_origin),           //
                            k(K::referer), k(K::speech_referer),         //
                            k(K::user_agent), k(K::short_agent));
  fr.at(87);
  Ref response = call_kw(member(K::requests, K::post).get(), kw(KW::json_headers_timeout), url,
                         payload, headers, C.n60);
  fr.at(88);
  if (py::compare(py::attr(response, k(K::status_code)), C.n200, Py_NE)) {
    fr.at(89);
    py::raise_with(PyExc_Exception, concat(k(K::tts_failed), voice, k(K::http_code),
                                           py::str(py::attr(response, k(K::status_code)))));
  }
  fr.at(90);
  Ref data = call_method(response, k(K::json));
  fr.at(91);
  Ref audio_base64 = call(member(K::re, K::sub).get(), k(K::data_url_prefix), C.empty_str,
                          py::item(data, k(K::audio_data)));
  fr.at(kOpenLine);
  Ref file = call(cached.open, output_file, k(K::mode_wb));
  py::with_block(fr, k(K::tb_generate_tts), kOpenLine, file.get(), [&](PyObject* f) {
    fr.at(93);
    call_method(f, k(K::write), call(member(K::base64, K::b64decode).get(), audio_base64));
  });
  return Ref::borrow(Py_None);
}

}  // namespace

const FunctionInfo generate_tts_info = {
    .name = K::generate_tts,
    .traceback_name = K::tb_generate_tts,
    .doc = K::doc_generate_tts,
    .line_table = K::lines_generate_tts,
    .line = 76,
    .number_line = 76,
    .count = 3,
    .required = 3,
    .params = {{K::text, Kind::text}, {K::output_file, Kind::text}, {K::voice, Kind::text}},
    .returns = K::ann_none,
    .local_count = 7,
    .locals = {K::url, K::payload, K::headers, K::response, K::data, K::audio_base64, K::f},
    .tests_result = false,
    .body = generate_tts,
};

}  // namespace kestro
