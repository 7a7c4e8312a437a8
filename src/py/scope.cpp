#include "scope.hpp"

#include "call.hpp"

#include <frameobject.h>

namespace py {

void not_text(PyObject* part) {
  PyErr_Format(PyExc_TypeError, scope.not_text, Py_TYPE(part)->tp_name);
  raise();
}

Ref lookup(PyObject* name) {
  PyObject* found = nullptr;
  if (check_status(PyDict_GetItemRef(scope.ns, name, &found))) return Ref::steal(found);
  if (check_status(PyObject_GetOptionalAttr(scope.builtins, name, &found)))
    return Ref::steal(found);
  PyErr_Format(PyExc_NameError, scope.name_error, name);
  raise();
}

void add_traceback(PyObject* name, int line) {
  PyObject* pending = PyErr_GetRaisedException();
  if (!pending) return;
  const char* file = PyUnicode_AsUTF8(scope.source_file);
  const char* function = file ? PyUnicode_AsUTF8(name) : nullptr;
  PyCodeObject* code = function ? PyCode_NewEmpty(file, function, line) : nullptr;
  PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, scope.ns, nullptr) : nullptr;
  // A failure to build the entry must not replace the exception it was meant for.
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

namespace {

// The exception raised while handling `original` gets it as its context, as in Python.
void chain_onto(PyObject* original) {
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetContext(raised, original);
  PyErr_SetRaisedException(raised);
}

}  // namespace

bool exit_with_error(PyObject* exit, PyObject* name, int line) {
  add_traceback(name, line);
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* tb = PyException_GetTraceback(exc);
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None};
  PyObject* answer = PyObject_Vectorcall(exit, args, 3, nullptr);
  Py_XDECREF(tb);
  int swallowed = answer ? PyObject_IsTrue(answer) : -1;
  Py_XDECREF(answer);
  if (swallowed < 0) {
    chain_onto(exc);
    return false;
  }
  if (swallowed) {
    Py_DECREF(exc);
    return true;
  }
  PyErr_SetRaisedException(exc);
  return false;
}

}  // namespace py
