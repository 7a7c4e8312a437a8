// Calls and the few object operations the bodies are written in. Every helper returns a
// new reference or throws py::Error; arguments are borrowed (PyObject*) or Ref.
#pragma once

#include "ref.hpp"

#include <algorithm>

namespace py {

// f(a...) through vectorcall; the spare slot in front lets callees prepend `self`.
template <class... A>
Ref call(PyObject* f, const A&... a) {
  PyObject* argv[] = {nullptr, ptr(a)...};
  return check(
      PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., name=value...): `kwnames` is a prebuilt tuple of keyword names, and the
// last len(kwnames) arguments are their values, in the same order.
template <class... A>
Ref call_kw(PyObject* f, PyObject* kwnames, const A&... a) {
  PyObject* argv[] = {nullptr, ptr(a)...};
  size_t positional = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return check(
      PyObject_Vectorcall(f, argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(a...)
template <class S, class... A>
Ref call_method(const S& self, PyObject* name, const A&... a) {
  PyObject* argv[] = {ptr(self), ptr(a)...};
  return check(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class O>
Ref attr(const O& o, PyObject* name) {
  return check(PyObject_GetAttr(ptr(o), name));
}

template <class O, class Key>
Ref item(const O& o, const Key& key) {
  return check(PyObject_GetItem(ptr(o), ptr(key)));
}

template <class O>
bool truth(const O& o) {
  return check_status(PyObject_IsTrue(ptr(o))) != 0;
}

template <class A, class B>
bool compare(const A& a, const B& b, int op) {
  return check_status(PyObject_RichCompareBool(ptr(a), ptr(b), op)) != 0;
}

template <class O>
Ref str(const O& o) {
  return check(PyObject_Str(ptr(o)));
}

template <class O>
Ref format(const O& o, PyObject* spec) {
  return check(PyObject_Format(ptr(o), spec));
}

// a + b + ... for text parts. A part that is not a str (a rebound helper may return
// anything) is the TypeError that str's own + gives.
[[gnu::cold]] void not_text(PyObject* part);

template <class... A>
Ref concat(const A&... a) {
  PyObject* parts[] = {ptr(a)...};
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (PyObject* p : parts) {
    if (!PyUnicode_Check(p)) not_text(p);
    length += PyUnicode_GET_LENGTH(p);
    widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(p));
  }
  Ref out = check(PyUnicode_New(length, widest));
  Py_ssize_t at = 0;
  for (PyObject* p : parts) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) raise();
    at += n;
  }
  return out;
}

template <class... A>
Ref list_of(const A&... a) {
  PyObject* items[] = {ptr(a)...};
  Ref out = check(PyList_New(sizeof...(A)));
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof...(A)); ++i)
    PyList_SET_ITEM(out.get(), i, Py_NewRef(items[i]));
  return out;
}

// {k0: v0, k1: v1, ...} with the keys in the order given.
template <class... A>
Ref dict_of(const A&... a) {
  static_assert(sizeof...(A) % 2 == 0, "keys and values come in pairs");
  PyObject* items[] = {ptr(a)...};
  Ref out = check(PyDict_New());
  for (size_t i = 0; i < sizeof...(A); i += 2)
    check_status(PyDict_SetItem(out.get(), items[i], items[i + 1]));
  return out;
}

// A list made of `base` followed by `tail...`; `base` is left unchanged.
template <class... A>
Ref extended(PyObject* base, const A&... tail) {
  Ref out = check(PySequence_List(base));
  for (PyObject* p : {ptr(tail)...}) check_status(PyList_Append(out.get(), p));
  return out;
}

// raise type(message)
template <class M>
[[noreturn]] void raise_with(PyObject* type, const M& message) {
  PyErr_SetObject(type, ptr(message));
  raise();
}

}  // namespace py
