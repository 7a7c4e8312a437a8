// Module definition, entry point, and the two initialisation steps.
#include <cstdint>

#include "runtime.hpp"

namespace kestro {

using py::check;
using py::check_status;

namespace {

// Process-wide: the module is made once, in one interpreter, and lives until the end.
struct State {
  std::int64_t interpreter_id = -1;
  PyObject* module = nullptr;
  PyObject* ns = nullptr;
  PyObject* code[4] = {};
};
State state;

const FunctionInfo* const kFunctions[] = {
    &download_video_info,
    &generate_tts_info,
    &build_atempo_chain_info,
    &run_kestro_info,
};

// Source lines of the module-level statements, as traceback entries quote them.
constexpr int kNoStatement = 1;
constexpr int kFirstImportLine = 13;
constexpr int kQuoteLine = 20;

// ---- create step ---------------------------------------------------------------------

// spec.<from> into the module dictionary as <to>; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool none_too) {
  PyObject* value = nullptr;
  int found = PyObject_GetOptionalAttrString(spec, from, &value);
  if (found <= 0) return found;
  int status = (value == Py_None && !none_too) ? 0 : PyDict_SetItemString(dict, to, value);
  Py_DECREF(value);
  return status;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (state.interpreter_id == -1) {
    state.interpreter_id = id;
  } else if (id != state.interpreter_id) {
    PyErr_SetString(PyExc_ImportError, raw::interpreter_change);
    return nullptr;
  }
  if (state.module) return Py_NewRef(state.module);

  PyObject* name = PyObject_GetAttrString(spec, raw::spec_name);
  if (!name) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  if (copy_spec_attribute(spec, dict, raw::spec_loader, raw::dunder_loader, true) < 0 ||
      copy_spec_attribute(spec, dict, raw::spec_origin, raw::dunder_file, true) < 0 ||
      copy_spec_attribute(spec, dict, raw::spec_parent, raw::dunder_package, true) < 0 ||
      copy_spec_attribute(spec, dict, raw::spec_search, raw::dunder_path, false) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

// ---- execute step --------------------------------------------------------------------

void warn_on_other_runtime() {
  int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (((Py_Version >> 16) & 0xFFFF) == ((PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION)) return;
  char message[200];
  PyOS_snprintf(message, sizeof message, raw::version_warning, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                raw::module_full, raw::does_not_match, major, minor);
  check_status(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

void enter_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  if (!check_status(PyDict_Contains(modules, k(K::module_name))))
    check_status(PyDict_SetItem(modules, k(K::module_name), module));
}

PyObject* builtin(PyObject* builtins, K name) {
  PyObject* found = nullptr;
  if (!check_status(PyObject_GetOptionalAttr(builtins, k(name), &found))) {
    PyErr_Format(PyExc_NameError, raw::name_error, k(name));
    py::raise();
  }
  return found;
}

void cache_builtins() {
  Ref print = Ref::steal(builtin(py::scope.builtins, K::print));
  Ref open = Ref::steal(builtin(py::scope.builtins, K::open));
  Py_XSETREF(cached.print, print.release());
  Py_XSETREF(cached.open, open.release());
}

// A code object for introspection and traceback positions; it is never run.
Ref make_code(const FunctionInfo& info) {
  PyCodeObject* empty = PyCode_NewEmpty(utf8(K::source_file), utf8(info.name), info.line);
  Ref templ = check(reinterpret_cast<PyObject*>(empty));
  Ref bytecode = check(PyCode_GetCode(empty));
  Ref varnames = check(PyTuple_New(info.count + info.local_count));
  for (int i = 0; i < info.count; ++i)
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(k(info.params[i].name)));
  for (int i = 0; i < info.local_count; ++i)
    PyTuple_SET_ITEM(varnames.get(), info.count + i, Py_NewRef(k(info.locals[i])));
  return check(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      info.count, 0, 0, info.count + info.local_count, 1, CO_OPTIMIZED | CO_NEWLOCALS,
      bytecode.get(), C.empty_tuple, C.empty_tuple, varnames.get(), C.empty_tuple, C.empty_tuple,
      k(K::source_file), k(info.name), k(info.name), info.line, k(info.line_table),
      C.empty_bytes)));
}

void build_code_objects() {
  for (int i = 0; i < 4; ++i)
    if (!state.code[i]) state.code[i] = make_code(*kFunctions[i]).release();
}

// import <name>, taking an existing sys.modules entry as it is (a None entry counts as
// absent, so the import machinery reports the blocked import itself).
Ref import_module(PyObject* name) {
  PyObject* found = nullptr;
  if (check_status(PyDict_GetItemRef(PyImport_GetModuleDict(), name, &found))) {
    Ref module = Ref::steal(found);
    if (found != Py_None) return module;
  }
  Ref locals = check(PyDict_New());
  return check(PyImport_ImportModuleLevelObject(name, state.ns, locals.get(), nullptr, 0));
}

// from urllib.parse import quote
Ref import_quote() {
  PyObject* found = nullptr;
  if (check_status(PyDict_GetItemRef(PyImport_GetModuleDict(), k(K::urllib_parse), &found))) {
    Ref parse = Ref::steal(found);
    if (found != Py_None && check_status(PyObject_GetOptionalAttr(found, k(K::quote), &found)))
      return Ref::steal(found);
  }
  Ref fromlist = py::list_of(k(K::quote));
  Ref locals = check(PyDict_New());
  Ref parse = check(PyImport_ImportModuleLevelObject(k(K::urllib_parse), state.ns, locals.get(),
                                                     fromlist.get(), 0));
  PyObject* quote = PyObject_GetAttr(parse.get(), k(K::quote));
  if (quote) return Ref::steal(quote);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise();
  PyErr_Clear();
  if (check_status(PyDict_GetItemRef(PyImport_GetModuleDict(), k(K::urllib_parse_quote), &found)))
    return Ref::steal(found);
  PyErr_Format(PyExc_ImportError, raw::cannot_import, k(K::quote));
  py::raise();
}

Ref annotations(const FunctionInfo& info) {
  Ref dict = check(PyDict_New());
  for (int i = 0; i < info.count; ++i) {
    K type = info.params[i].kind == Kind::number ? K::ann_float : K::ann_str;
    check_status(PyDict_SetItem(dict.get(), k(info.params[i].name), k(type)));
  }
  check_status(PyDict_SetItem(dict.get(), k(K::ann_return), k(info.returns)));
  return dict;
}

void bind(K name, const Ref& value) {
  check_status(PyDict_SetItem(state.ns, k(name), value.get()));
}

void set_up_scope(PyObject* builtins) {
  py::scope.ns = state.ns;
  Py_XSETREF(py::scope.builtins, builtins);
  py::scope.name_error = raw::name_error;
  py::scope.not_text = raw::not_text;
}

int exec_module(PyObject* module) {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError, raw::reinitialisation);
    return -1;
  }
  state.module = Py_NewRef(module);
  state.ns = Py_NewRef(PyModule_GetDict(module));
  int line = 0;  // no traceback entry until the constants exist
  try {
    Ref builtins = check(PyImport_ImportModule(raw::builtins));
    check_status(PyObject_SetAttrString(module, raw::dunder_builtins, builtins.get()));
    set_up_scope(builtins.release());
    warn_on_other_runtime();
    build_empties();
    build_constants();
    py::scope.source_file = k(K::source_file);
    py::scope.enter_name = k(K::enter);
    py::scope.exit_name = k(K::exit);

    line = kNoStatement;
    ready_function_type();
    enter_in_sys_modules(module);
    cache_builtins();
    build_tuples();
    py::scope.exit_no_error = C.exit_args;
    build_code_objects();

    const K imports[] = {K::json, K::subprocess, K::requests, K::base64, K::re, K::time, K::os};
    for (int i = 0; i < 7; ++i) {
      line = kFirstImportLine + i;
      bind(imports[i], import_module(k(imports[i])));
    }
    line = kQuoteLine;
    bind(K::quote, import_quote());

    for (int i = 0; i < 4; ++i) {
      const FunctionInfo& info = *kFunctions[i];
      line = info.line;
      PyObject* defaults = info.required < info.count ? C.run_defaults : nullptr;
      bind(info.name,
           new_function(info, state.code[i], state.ns, defaults, annotations(info).get()));
    }
    line = kNoStatement;
    bind(K::test, check(PyDict_New()));
    return 0;
  } catch (py::Error&) {
    if (line) py::add_traceback(k(K::init_name), line);
    Py_CLEAR(state.module);
    Py_CLEAR(state.ns);
    py::scope.ns = nullptr;
    return -1;
  }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = raw::module_short,
    .m_doc = raw::module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace kestro

PyMODINIT_FUNC PyInit_kestro_core() { return PyModuleDef_Init(&kestro::module_def); }
