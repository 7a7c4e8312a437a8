// The function type: vectorcall with the binding routine, the attributes a caller can read
// and set, method binding, pickling by qualified name.
#include "function.hpp"

#include <cstddef>
#include <new>

namespace kestro {

using py::Ref;

namespace {

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionInfo* info;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* globals;
  PyObject* code;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakrefs;
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

const char* plain_name(const FunctionInfo& info) { return utf8(info.name); }

// ---- binding -------------------------------------------------------------------------

// "f() takes exactly 2 positional arguments (1 given)" and its kin.
[[gnu::cold]] void count_error(const FunctionInfo& info, bool too_many, Py_ssize_t given) {
  const char* how = raw::exactly;
  Py_ssize_t expected = info.count;
  if (info.required != info.count) {
    how = too_many ? raw::at_most : raw::at_least;
    expected = too_many ? info.count : info.required;
  }
  PyErr_Format(PyExc_TypeError, raw::count_error, plain_name(info), how, expected,
               expected == 1 ? "" : raw::plural, given);
}

// -1: no parameter of slots [from, to) has this name; -2: an error is set.
[[gnu::cold]] int match_by_value(const FunctionInfo& info, PyObject* key, int from, int to) {
  for (int i = from; i < to; ++i) {
    PyObject* name = k(info.params[i].name);
    if (PyUnicode_CheckExact(key)) {
      if (PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0) return i;
    } else {
      int equal = PyObject_RichCompareBool(key, name, Py_EQ);
      if (equal < 0) return -2;
      if (equal) return i;
    }
  }
  return -1;
}

int match_by_identity(const FunctionInfo& info, PyObject* key, int from, int to) {
  for (int i = from; i < to; ++i)
    if (k(info.params[i].name) == key) return i;
  return -1;
}

// Fills `slot` from the caller's arguments; false with an exception set on failure.
bool bind_keywords(const FunctionInfo& info, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
                   PyObject** slot) {
  Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
  int first = static_cast<int>(n);
  for (Py_ssize_t j = 0; j < keywords; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    int at = match_by_identity(info, key, first, info.count);
    if (at < 0) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, raw::keywords_not_strings, plain_name(info));
        return false;
      }
      at = match_by_value(info, key, first, info.count);
      if (at == -2) return false;
    }
    if (at < 0) {
      int taken = match_by_identity(info, key, 0, first);
      if (taken < 0) taken = match_by_value(info, key, 0, first);
      if (taken == -2) return false;
      PyErr_Format(PyExc_TypeError, taken >= 0 ? raw::multiple_values : raw::unexpected_keyword,
                   plain_name(info), key);
      return false;
    }
    slot[at] = args[n + j];
  }
  return true;
}

// The binding steps: counts and keywords, the default, the number, the exact-str tests.
// Nothing is allocated on success: the caller's array is read in place.
bool bind(const FunctionInfo& info, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
          Args& out, int& failed_line) {
  PyObject** slot = out.slot;
  failed_line = info.line;
  Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (n > info.count || (keywords == 0 && n < info.required)) {
    count_error(info, n > info.count, n);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) slot[i] = args[i];
  for (int i = static_cast<int>(n); i < info.count; ++i) slot[i] = nullptr;
  if (keywords && !bind_keywords(info, args, n, kwnames, slot)) return false;
  if (info.required < info.count && !slot[info.required]) slot[info.required] = k(K::current_dir);
  for (int i = static_cast<int>(n); i < info.required; ++i) {
    if (!slot[i]) {
      count_error(info, false, i);
      return false;
    }
  }
  for (int i = 0; i < info.count; ++i) {
    if (info.params[i].kind != Kind::number) continue;
    PyObject* value = slot[i];
    out.number = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
    if (out.number == -1.0 && PyErr_Occurred()) {
      failed_line = info.number_line;
      return false;
    }
  }
  for (int i = 0; i < info.count; ++i) {
    if (info.params[i].kind != Kind::text || PyUnicode_CheckExact(slot[i])) continue;
    PyErr_Format(PyExc_TypeError, raw::incorrect_type, utf8(info.params[i].name), raw::str_name,
                 Py_TYPE(slot[i])->tp_name);
    if (PyUnicode_Check(slot[i])) {
      PyObject* exc = PyErr_GetRaisedException();
      PyObject* noted = PyObject_CallMethodOneArg(exc, k(K::add_note), k(K::str_subclass_note));
      if (noted) {
        Py_DECREF(noted);
        PyErr_SetRaisedException(exc);
      } else {
        Py_DECREF(exc);
      }
    }
    failed_line = 0;  // this check adds no traceback entry
    return false;
  }
  return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  const FunctionInfo& info = *as_function(self)->info;
  Args bound;
  int failed_line;
  if (!bind(info, args, PyVectorcall_NARGS(nargsf), kwnames, bound, failed_line)) {
    if (failed_line) py::add_traceback(k(info.traceback_name), failed_line);
    return nullptr;
  }
  py::Frame frame{info.line};
  try {
    Ref result = info.body(frame, bound);
    PyObject* r = result.get();
    if (info.tests_result && r != Py_None && !PyUnicode_CheckExact(r)) {
      PyErr_Format(PyExc_TypeError, raw::expected_type, raw::str_name, Py_TYPE(r)->tp_name);
      py::raise();
    }
    return result.release();
  } catch (py::Error&) {
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  }
  py::add_traceback(k(info.traceback_name), frame.line);
  return nullptr;
}

// ---- attributes ----------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* or_none(PyObject* p) { return Py_NewRef(p ? p : Py_None); }
PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) f->annotations = PyDict_New();
  return Py_XNewRef(f->annotations);
}

int type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return -1;
}

// Stores `value` (null or None stored as null) when `accepted` says so, else TypeError.
int store(PyObject** field, PyObject* value, bool accepted, const char* message) {
  if (!accepted) return type_error(message);
  PyObject* old = *field;
  *field = value == Py_None ? nullptr : Py_XNewRef(value);
  Py_XDECREF(old);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) return type_error(raw::name_must_be_str);
  Py_SETREF(as_function(self)->name, Py_NewRef(value));
  return 0;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) return type_error(raw::qualname_must_be_str);
  Py_SETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  bool ok = !value || value == Py_None || PyTuple_Check(value);
  if (store(&as_function(self)->defaults, value, ok, raw::defaults_must_be_tuple) < 0) return -1;
  return PyErr_WarnEx(PyExc_RuntimeWarning, raw::defaults_warning, 1);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  bool ok = !value || value == Py_None || PyDict_Check(value);
  if (store(&as_function(self)->kwdefaults, value, ok, raw::kwdefaults_must_be_dict) < 0) return -1;
  return PyErr_WarnEx(PyExc_RuntimeWarning, raw::kwdefaults_warning, 1);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  bool ok = !value || value == Py_None || PyDict_Check(value);
  return store(&as_function(self)->annotations, value, ok, raw::annotations_must_be_dict);
}

PyGetSetDef getset[] = {
    {raw::attr_name, get_name, set_name, nullptr, nullptr},
    {raw::attr_qualname, get_qualname, set_qualname, nullptr, nullptr},
    {raw::attr_globals, get_globals, nullptr, nullptr, nullptr},
    {raw::attr_closure, get_closure, nullptr, nullptr, nullptr},
    {raw::attr_code, get_code, nullptr, nullptr, nullptr},
    {raw::attr_defaults, get_defaults, set_defaults, nullptr, nullptr},
    {raw::attr_kwdefaults, get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {raw::attr_annotations, get_annotations, set_annotations, nullptr, nullptr},
    {raw::attr_dict, PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference: the qualified name, found again in __module__.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef methods[] = {
    {raw::attr_reduce, reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- lifecycle -----------------------------------------------------------------------

int traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->doc);
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat(raw::repr_format, as_function(self)->qualname, self);
}

// Bound to an instance like a plain function.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyMemberDef offsets[] = {
    {raw::attr_vectorcalloffset, Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY,
     nullptr},
    {raw::attr_dictoffset, Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {raw::attr_weaklistoffset, Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {raw::attr_doc, Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {raw::attr_module, Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_members, offsets},
    {Py_tp_getset, getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    .name = raw::type_name,
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = type_slots,
};

PyTypeObject* function_type = nullptr;

}  // namespace

void ready_function_type() {
  if (!function_type)
    function_type =
        reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&type_spec)).release());
}

Ref new_function(const FunctionInfo& info, PyObject* code, PyObject* globals, PyObject* defaults,
                 PyObject* annotations) {
  Function* f = PyObject_GC_New(Function, function_type);
  if (!f) py::raise();
  f->vectorcall = function_vectorcall;
  f->info = &info;
  f->name = Py_NewRef(k(info.name));
  f->qualname = Py_NewRef(k(info.name));
  f->doc = Py_NewRef(k(info.doc));
  f->module = Py_NewRef(k(K::module_name));
  f->globals = Py_NewRef(globals);
  f->code = Py_NewRef(code);
  f->defaults = Py_XNewRef(defaults);
  f->kwdefaults = nullptr;
  f->annotations = Py_NewRef(annotations);
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace kestro
