"""Import lifecycle of kestro_core.kestro_core.

Each case that imports the extension runs in a fresh interpreter: the module is made once per
process, and these cases block imports, remove sys.modules entries or start sub-interpreters.
The child prints one JSON line of observations; the assertions are made here.
"""

import importlib.util
import json
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

MODULE = "kestro_core.kestro_core"
INIT = "init kestro_core.kestro_core"
SOURCE = "kestro_core/kestro_core.cpp"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
HOST_NAMES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
MODULE_NAMES = [
    "__builtins__",
    "json",
    "subprocess",
    "requests",
    "base64",
    "re",
    "time",
    "os",
    "quote",
    "_download_video",
    "_generate_tts",
    "_build_atempo_chain",
    "run_kestro",
    "__test__",
]
DEPENDENCIES = [
    "json",
    "subprocess",
    "requests",
    "base64",
    "re",
    "time",
    "os",
    "urllib.parse",
    "zlib",
]

# Shared by the children: the traceback of an exception as [function, file, line] rows, and
# the module definition reached through the entry point, for create/execute with any module description.
PRELUDE = """
import json, sys

def entries(exc):
    rows, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        rows.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return rows

def report(**values):
    print(json.dumps(values))

def definition():
    import ctypes, importlib.util
    path = importlib.util.find_spec("kestro_core.kestro_core").origin
    lib = ctypes.PyDLL(path)
    lib.PyInit_kestro_core.restype = ctypes.c_void_p
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    moddef = lib.PyInit_kestro_core()
    create = lambda desc: api.PyModule_FromDefAndSpec2(moddef, desc, 1013)
    execute = lambda module: api.PyModule_ExecDef(module, moddef)
    return path, create, execute
"""


def run_child(tmp_path, body, timeout=60):
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-P", "-c", code],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_reimport_gives_the_same_module_and_runs_nothing_again(tmp_path):
    seen = run_child(
        tmp_path,
        """
        import kestro_core.kestro_core as first
        chain = first._build_atempo_chain
        first.json = "rebound"
        del sys.modules["kestro_core.kestro_core"]
        del sys.modules["requests"]
        import kestro_core.kestro_core as second
        report(same=second is first,
               listed=sys.modules["kestro_core.kestro_core"] is first,
               json=repr(second.json),
               same_function=second._build_atempo_chain is chain,
               requests_imported_again="requests" in sys.modules)
    """,
    )
    assert seen == {
        "same": True,
        "listed": True,
        "json": "'rebound'",
        "same_function": True,
        "requests_imported_again": False,
    }


def test_reload_is_a_no_op(tmp_path):
    seen = run_child(
        tmp_path,
        """
        import importlib
        import kestro_core.kestro_core as module
        chain = module._build_atempo_chain
        module.json = "rebound"
        del module.__test__
        again = importlib.reload(module)
        report(same=again is module, json=repr(module.json), same_function=module._build_atempo_chain is chain,
               test_recreated="__test__" in vars(module))
    """,
    )
    assert seen == {
        "same": True,
        "json": "'rebound'",
        "same_function": True,
        "test_recreated": False,
    }


def test_namespace_names_order_and_values(tmp_path):
    seen = run_child(
        tmp_path,
        """
        import builtins, urllib.parse
        import kestro_core.kestro_core as module
        ns = vars(module)
        report(names=list(ns),
               quote=module.quote is urllib.parse.quote,
               builtins=ns["__builtins__"] is builtins,
               test=[type(module.__test__).__name__, module.__test__],
               modules=[ns[n] is sys.modules[n] for n in ("json", "subprocess", "requests", "base64", "re", "time", "os")],
               file=module.__file__ == module.__spec__.origin)
    """,
    )
    assert seen["names"][len(HOST_NAMES) :] == MODULE_NAMES
    assert seen["names"] == HOST_NAMES + MODULE_NAMES
    assert seen["quote"] and seen["builtins"] and seen["file"]
    assert seen["test"] == ["dict", {}]
    assert seen["modules"] == [True] * 7


@pytest.mark.parametrize("order", ["main_first", "sub_first"])
def test_second_interpreter_is_refused(tmp_path, order):
    seen = run_child(
        tmp_path,
        f"""
        import _interpreters
        order = {order!r}
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        code = "import kestro_core.kestro_core"
        if order == "main_first":
            import kestro_core.kestro_core
            failure = _interpreters.run_string(sub, code)
            got = None if failure is None else [failure.type.__name__, failure.msg]
        else:
            first = _interpreters.run_string(sub, code)
            assert first is None, first.formatted
            try:
                import kestro_core.kestro_core
                got = None
            except ImportError as exc:
                got = [type(exc).__name__, str(exc)]
        _interpreters.destroy(sub)
        report(got=got)
    """,
    )
    assert seen["got"] == ["ImportError", INTERPRETER_CHANGE]


# How the child makes `requests` unavailable, and how it makes it available again.
BLOCKERS = {
    "none_entry": (
        'sys.modules["requests"] = None',
        'del sys.modules["requests"]',
        "import of requests halted; None in sys.modules",
    ),
    "not_found": (
        """
        import importlib.machinery
        class Hiding:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == "requests" or name.startswith("requests."):
                    return None
                return importlib.machinery.PathFinder.find_spec(name, path, target)
        saved = list(sys.meta_path)
        sys.meta_path[:] = [Hiding if f is importlib.machinery.PathFinder else f for f in saved]
        """,
        "sys.meta_path[:] = saved",
        "No module named 'requests'",
    ),
}


@pytest.mark.parametrize("how", sorted(BLOCKERS))
def test_missing_requests_fails_at_line_15_then_imports(tmp_path, how):
    block, unblock, message = BLOCKERS[how]
    seen = run_child(
        tmp_path,
        textwrap.dedent(block)
        + """
try:
    import kestro_core.kestro_core
    failed = None
except ImportError as exc:
    failed = exc
frames = []
tb = failed.__traceback__
while tb is not None:
    frames.append(tb.tb_frame)
    tb = tb.tb_next
discarded = [f.f_globals for f in frames if f.f_code.co_name == "init kestro_core.kestro_core"]
left_listed = "kestro_core.kestro_core" in sys.modules
"""
        + textwrap.dedent(unblock)
        + """
import kestro_core.kestro_core as module
import requests
report(type=type(failed).__name__, message=str(failed), entries=entries(failed),
       discarded=[list(g)[-3:] for g in discarded],
       new_namespace=bool(discarded) and vars(module) is not discarded[0],
       left_listed=left_listed, requests=module.requests is requests,
       chain=module._build_atempo_chain(3.0))
""",
    )
    assert [seen["type"], seen["message"]] == ["ModuleNotFoundError", message]
    assert [INIT, SOURCE, 15] in seen["entries"]
    assert seen["discarded"] == [["__builtins__", "json", "subprocess"]]
    assert seen["new_namespace"] and seen["requests"]
    assert not seen["left_listed"]
    assert seen["chain"] == "atempo=2.0,atempo=1.5000"


QUOTE_BLOCKERS = {
    "none_entry": (
        'sys.modules["urllib.parse"] = None',
        'sys.modules["urllib.parse"] = parse',
        ["ModuleNotFoundError", "import of urllib.parse halted; None in sys.modules"],
    ),
    "no_attribute": (
        "del parse.quote",
        "parse.quote = quote",
        ["ImportError", "cannot import name 'quote'"],
    ),
}


@pytest.mark.parametrize("how", sorted(QUOTE_BLOCKERS))
def test_unobtainable_quote_fails_at_line_20(tmp_path, how):
    block, unblock, expected = QUOTE_BLOCKERS[how]
    seen = run_child(
        tmp_path,
        f"""
        import json, subprocess, requests, base64, re, time, os, urllib.parse as parse
        quote = parse.quote
        {block}
        try:
            import kestro_core.kestro_core
            failed = None
        except ImportError as exc:
            failed = exc
        {unblock}
        import kestro_core.kestro_core as module
        report(got=[type(failed).__name__, str(failed)], entries=entries(failed), quote=module.quote is quote)
    """,
    )
    assert seen["got"] == expected
    assert [INIT, SOURCE, 20] in seen["entries"]
    assert seen["quote"]


def test_unavailable_zlib_means_no_strings_and_no_init_entry(tmp_path):
    seen = run_child(
        tmp_path,
        """
        sys.modules["zlib"] = None
        try:
            import kestro_core.kestro_core
            failed = None
        except ImportError as exc:
            failed = exc
        del sys.modules["zlib"]
        import kestro_core.kestro_core as module
        report(type=type(failed).__name__, message=str(failed), entries=entries(failed),
               chain=module._build_atempo_chain(1.5))
    """,
    )
    assert seen["type"] == "ImportError"
    assert "zlib.decompress" in seen["message"] and "cannot be initialised" in seen["message"]
    assert not [e for e in seen["entries"] if e[0] == INIT]
    assert seen["chain"] == "atempo=1.5"


def test_file_location_without_search_locations_gives_no_path(tmp_path):
    seen = run_child(
        tmp_path,
        """
        import importlib.util
        origin = importlib.util.find_spec("kestro_core.kestro_core").origin
        spec = importlib.util.spec_from_file_location("kestro_core.kestro_core", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        report(search=spec.submodule_search_locations, path=hasattr(module, "__path__"),
               file=module.__file__ == origin, chain=module._build_atempo_chain(1.5))
    """,
    )
    assert seen == {"search": None, "path": False, "file": True, "chain": "atempo=1.5"}


# Module descriptions handed to the create step directly, through the host's own create and
# execute calls.
DESCRIPTIONS = {
    "no_origin": (
        "SimpleNamespace(name=MODULE, loader=None, parent='kestro_core')",
        {"__loader__": "None", "__package__": "'kestro_core'"},
    ),
    "origin_none": (
        "SimpleNamespace(name=MODULE, loader=None, parent='kestro_core', origin=None)",
        {"__file__": "None"},
    ),
    "search_list": (
        "SimpleNamespace(name=MODULE, loader='L', parent='p', origin='o', submodule_search_locations=['d'])",
        {"__loader__": "'L'", "__package__": "'p'", "__file__": "'o'", "__path__": "['d']"},
    ),
    "search_none": (
        "SimpleNamespace(name=MODULE, loader=None, parent='p', origin='o', submodule_search_locations=None)",
        {"__file__": "'o'"},
    ),
}


@pytest.mark.parametrize("case", sorted(DESCRIPTIONS))
def test_create_copies_only_present_attributes(tmp_path, case):
    description, expected = DESCRIPTIONS[case]
    seen = run_child(
        tmp_path,
        f"""
        from types import SimpleNamespace
        MODULE = "kestro_core.kestro_core"
        path, create, execute = definition()
        module = create({description})
        status = execute(module)
        report(values={{k: repr(v) for k, v in vars(module).items() if k in ("__loader__", "__file__", "__package__", "__path__")}},
               name=module.__name__, status=status, listed=sys.modules.get(MODULE) is module,
               chain=module._build_atempo_chain(1.5))
    """,
    )
    assert {k: v for k, v in seen["values"].items() if k in expected} == expected
    assert ("__file__" in seen["values"]) == ("__file__" in expected)
    assert ("__path__" in seen["values"]) == ("__path__" in expected)
    assert [seen["name"], seen["status"], seen["listed"], seen["chain"]] == [
        MODULE,
        0,
        True,
        "atempo=1.5",
    ]


def test_create_without_name_and_execute_on_a_foreign_module(tmp_path):
    seen = run_child(
        tmp_path,
        """
        import types
        path, create, execute = definition()
        try:
            create(types.SimpleNamespace(loader=None))
            nameless = None
        except AttributeError as exc:
            nameless = type(exc).__name__
        import kestro_core.kestro_core as module
        try:
            execute(types.ModuleType("other"))
            foreign = None
        except RuntimeError as exc:
            foreign = str(exc)
        report(nameless=nameless, foreign=foreign, still=sys.modules["kestro_core.kestro_core"] is module,
               again=execute(module))
    """,
    )
    assert seen == {
        "nameless": "AttributeError",
        "foreign": "Module 'kestro_core' has already been imported. Re-initialisation is not supported.",
        "still": True,
        "again": 0,
    }


def _built_file():
    spec = importlib.util.find_spec(MODULE)
    assert spec is not None and spec.origin.endswith(".so"), spec
    return spec.origin


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _built_file()], capture_output=True, text=True, check=True
    )
    symbols = sorted(line.split()[-1] for line in out.stdout.splitlines() if line.strip())
    assert symbols == ["PyInit_kestro_core"]


def test_module_docstring_names_source_and_built_file(kc):
    doc = kc.__doc__
    lines = doc.split("\n")
    assert lines[0] == ""
    assert lines[1].strip() and set(lines[2]) == {"="} and len(lines[2]) == len(lines[1])
    assert ".pyd" in doc and ".so" in doc
    assert re.search(r"kestro_core\.\S+\.so\b", doc), doc
