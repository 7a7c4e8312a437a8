// The download client: a conversion job, its progress polls, and wget for the file.
#include "../module/runtime.hpp"

namespace kestro {

using py::call;
using py::call_kw;
using py::call_method;
using py::concat;
using py::item;
using py::truth;

namespace {

constexpr int kPolls = 60;

// requests.get(url, headers=headers, timeout=timeout)
Ref get(PyObject* url, PyObject* headers, PyObject* timeout) {
  return call_kw(member(K::requests, K::get).get(), kw(KW::headers_timeout), url, headers, timeout);
}

// The URL comes from the service's answer and becomes wget's last argument: anything but
// an http(s) URL could be read by wget as an option.
bool is_web_url(PyObject* url) {
  if (!PyUnicode_Check(url)) return false;
  for (K scheme : {K::http_scheme, K::https_scheme}) {
    Py_ssize_t match = PyUnicode_Tailmatch(url, k(scheme), 0, PY_SSIZE_T_MAX, -1);
    if (match < 0) py::raise();
    if (match) return true;
  }
  return false;
}

Ref download_video(py::Frame& fr, const Args& a) {
  PyObject* url = a.slot[0];
  PyObject* output_file = a.slot[1];

  fr.at(25);
  print(k(K::requesting));
  fr.at(26);
  Ref HEADERS = py::dict_of(k(K::accept), k(K::accept_any),                      //
                            k(K::accept_language), k(K::accept_language_value),  //
                            k(K::cache_control), k(K::no_cache),                 //
                            k(K::origin), k(K::download_origin),                 //
                            k(K::referer), k(K::download_referer),               //
                            k(K::user_agent), k(K::browser_agent));
  fr.at(34);
  Ref encoded_url = call_kw(global(K::quote).get(), kw(KW::safe), url, C.empty_str);
  fr.at(35);
  Ref api_url = concat(k(K::download_api), encoded_url);

  fr.at(37);
  Ref resp = get(api_url.get(), HEADERS.get(), C.n30);
  fr.at(38);
  call_method(resp, k(K::raise_for_status));
  fr.at(39);
  Ref data = call_method(resp, k(K::json));
  fr.at(40);
  if (!truth(call_method(data, k(K::get), k(K::success)))) {
    fr.at(41);
    py::raise_with(PyExc_Exception, concat(k(K::download_api_error), py::str(data)));
  }
  fr.at(42);
  Ref job_id = item(data, k(K::id));
  fr.at(43);
  Ref progress_url = item(data, k(K::progress_url));
  fr.at(44);
  print(concat(k(K::processing_job), py::str(job_id), k(K::ellipsis)));

  fr.at(46);
  Ref download_url;
  for (int attempt = 0; attempt < kPolls && !download_url; ++attempt) {
    fr.at(48);
    call(member(K::time, K::sleep).get(), C.n3);
    fr.at(49);
    Ref prog = call_method(get(progress_url.get(), HEADERS.get(), C.n15), k(K::json));
    fr.at(50);
    Ref pct = py::check(
        PyNumber_TrueDivide(call_method(prog, k(K::get), k(K::progress), C.n0).get(), C.n10));
    fr.at(51);
    call_kw(cached.print, kw(KW::end_flush),
            concat(k(K::progress_prefix), py::format(pct, k(K::format_0f)), k(K::percent)),
            C.empty_str, Py_True);
    fr.at(52);
    if (truth(call_method(prog, k(K::get), k(K::success))) &&
        py::compare(call_method(prog, k(K::get), k(K::progress), C.n0), C.n1000, Py_GE)) {
      fr.at(53);
      download_url = item(prog, k(K::download_url));
    }
  }
  fr.at(56);
  if (!download_url) {
    fr.at(57);
    py::raise_with(PyExc_Exception, k(K::download_timed_out));
  }
  fr.at(58);
  if (!is_web_url(download_url.get())) {
    fr.at(59);
    py::raise_with(PyExc_Exception, concat(k(K::refused_download_url),
                                           py::check(PyObject_Repr(download_url.get()))));
  }

  fr.at(61);
  print(k(K::downloading));
  fr.at(62);
  call_kw(member(K::subprocess, K::run).get(), kw(KW::check),
          py::list_of(k(K::wget), k(K::opt_q), k(K::opt_O), output_file, k(K::opt_user_agent),
                      k(K::browser_agent), download_url),
          Py_True);
  fr.at(71);
  print(concat(k(K::download_complete), output_file));
  return Ref::borrow(Py_None);
}

}  // namespace

const FunctionInfo download_video_info = {
    .name = K::download_video,
    .traceback_name = K::tb_download_video,
    .doc = K::doc_download_video,
    .line_table = K::lines_download_video,
    .line = 23,
    .number_line = 23,
    .count = 2,
    .required = 2,
    .params = {{K::url, Kind::text}, {K::output_file, Kind::text}},
    .returns = K::ann_none,
    .local_count = 11,
    .locals = {K::HEADERS, K::encoded_url, K::api_url, K::resp, K::data, K::job_id, K::progress_url,
               K::download_url, K::attempt, K::prog, K::pct},
    .tests_result = false,
    .body = download_video,
};

}  // namespace kestro
