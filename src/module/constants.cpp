#include "constants.hpp"

#include <array>

#include "../py/call.hpp"

namespace kestro {

using py::check;
using py::Ref;

namespace {

constexpr unsigned kCount = static_cast<unsigned>(K::count_);
static_assert(kTextCount + kBytesCount == kCount);

// The decompressor, or the ImportError saying why the strings cannot be made.
Ref decompressor() {
  PyObject* zlib = PyImport_ImportModule(raw::zlib);
  PyObject* decompress = zlib ? PyObject_GetAttrString(zlib, raw::decompress) : nullptr;
  Py_XDECREF(zlib);
  if (decompress) return Ref::steal(decompress);
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_ImportError, raw::strings_failed);
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetCause(raised, cause);
  PyErr_SetRaisedException(raised);
  py::raise();
}

PyObject* number(long value) { return check(PyLong_FromLong(value)).release(); }

}  // namespace

void build_empties() {
  if (C.empty_tuple) return;
  C.empty_tuple = check(PyTuple_New(0)).release();
  C.empty_bytes = check(PyBytes_FromStringAndSize("", 0)).release();
  C.empty_str = check(PyUnicode_New(0, 0)).release();
}

void build_constants() {
  if (C.built) return;
  Ref packed = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kBlock), kBlockSize));
  Ref plain = py::call(decompressor().get(), packed);
  if (!PyBytes_Check(plain.get()) ||
      static_cast<unsigned long>(PyBytes_GET_SIZE(plain.get())) != kPlainSize) {
    PyErr_SetString(PyExc_ImportError, raw::strings_failed);
    py::raise();
  }
  std::array<Ref, kCount> made;
  const char* at = PyBytes_AS_STRING(plain.get());
  for (unsigned i = 0; i < kCount; at += kLengths[i], ++i) {
    if (i < kTextCount) {
      made[i] = check(PyUnicode_DecodeUTF8(at, kLengths[i], nullptr));
      if (kInterned[i]) {
        PyObject* s = made[i].release();
        PyUnicode_InternInPlace(&s);
        made[i] = Ref::steal(s);
      }
    } else {
      made[i] = check(PyBytes_FromStringAndSize(at, kLengths[i]));
    }
  }
  for (Ref& r : made)
    if (PyObject_Hash(r.get()) == -1) py::raise();
  for (unsigned i = 0; i < kCount; ++i) C.items[i] = made[i].release();

  for (unsigned t = 0; t < static_cast<unsigned>(KW::count_); ++t) {
    const KeywordNames& names = kKeywordNames[t];
    Ref tuple = check(PyTuple_New(names.size));
    for (unsigned j = 0; j < names.size; ++j)
      PyTuple_SET_ITEM(tuple.get(), j, Py_NewRef(k(names.names[j])));
    C.kwnames[t] = tuple.release();
  }
  C.half = check(PyFloat_FromDouble(0.5)).release();
  C.n0 = number(0);
  C.n3 = number(3);
  C.n10 = number(10);
  C.n15 = number(15);
  C.n30 = number(30);
  C.n60 = number(60);
  C.n200 = number(200);
  C.n1000 = number(1000);
  C.built = true;
}

void build_tuples() {
  if (!C.exit_args) C.exit_args = check(PyTuple_Pack(3, Py_None, Py_None, Py_None)).release();
  if (!C.run_defaults) C.run_defaults = check(PyTuple_Pack(1, k(K::current_dir))).release();
}

}  // namespace kestro
