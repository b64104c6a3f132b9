"""The worker module as Python sees it: what importing it binds, its function
objects, argument errors, traceback entries, globals looked up at call time
and its load-time rules."""
import builtins
import ctypes
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import types

import pytest

import vorlen.tamsel as tamsel

MODULE_NAMES = ["os", "ctypes", "mmap", "queue", "signal", "traceback", "time", "np",
                "mp", "setproctitle", "clear_queue", "sigint_handler", "_HandleContent",
                "tamsel_main", "Tamsel"]

MAIN_DOC = ("\n    This is the main loop of a tamsel\n    \n    Parametrs : \n"
            "    _______________________\n    qi is the input queue for this main "
            "function\n    while qo is the output queue for this \n  ")

# qualname -> (signature, __defaults__, __kwdefaults__)
FUNCTIONS = {
    "clear_queue": ("(q)", None, None),
    "sigint_handler": ("(signum, frame)", None, None),
    "_HandleContent.__init__": ("(self)", None, None),
    "_HandleContent.xprint": ("(self, *ws, end='\\n')", None, {"end": "\n"}),
    "_HandleContent.clear": ("(self)", None, None),
    "_HandleContent.xreturn": ("(self, **kwds)", None, None),
    "tamsel_main": ("(name, qi, qo)", None, None),
    "Tamsel.__init__": ("(self, name=None)", (None,), None),
    "Tamsel.blocked_put": ("(self, w)", None, None),
    "Tamsel.kill": ("(self)", None, None),
    "Tamsel.clear_output": ("(self)", None, None),
}


def resolve(qualname):
    obj = tamsel
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns its stdout lines."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def entry_names(exc):
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


# --- namespace ----------------------------------------------------------

def test_module_binds_its_names_in_order():
    names = [n for n in vars(tamsel) if not (n.startswith("__") and n.endswith("__"))]
    assert names == MODULE_NAMES
    import multiprocessing
    import numpy
    import setproctitle
    import signal
    assert tamsel.np is numpy and tamsel.mp is multiprocessing
    assert tamsel.setproctitle is setproctitle and tamsel.signal is signal
    assert all(isinstance(getattr(tamsel, n), types.ModuleType) for n in MODULE_NAMES[:10])


def test_module_attributes():
    spec = tamsel.__spec__
    assert tamsel.__name__ == "vorlen.tamsel"
    assert tamsel.__doc__ is None
    assert tamsel.__builtins__ is builtins
    assert tamsel.__file__ == spec.origin
    assert tamsel.__loader__ is spec.loader
    assert tamsel.__package__ == "vorlen"
    assert not hasattr(tamsel, "__path__")
    assert not hasattr(tamsel, "stop")


def test_loading_starts_nothing_and_registers_the_fixed_name():
    # Loaded under another name first: the module still enters sys.modules
    # as vorlen.tamsel, so its functions pickle by that name.
    lines = run_python("""
        import importlib, importlib.machinery, importlib.util, multiprocessing, pickle
        import signal, sys
        before = signal.getsignal(signal.SIGINT)
        path = importlib.util.find_spec("vorlen.tamsel").origin
        loader = importlib.machinery.ExtensionFileLoader("tamsel", path)
        spec = importlib.util.spec_from_file_location("tamsel", path, loader=loader)
        t = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(t)
        print(t.__name__, sys.modules["vorlen.tamsel"] is t)
        kill = t.Tamsel.kill
        print(importlib.import_module("vorlen.tamsel") is t,
              pickle.loads(pickle.dumps(kill)) is kill)
        print(multiprocessing.active_children(), signal.getsignal(signal.SIGINT) is before)
    """)
    assert lines == ["tamsel True", "True True", "[] True"]


@pytest.mark.parametrize("cls, methods", [
    (tamsel._HandleContent, ["__init__", "xprint", "clear", "xreturn"]),
    (tamsel.Tamsel, ["__init__", "blocked_put", "kill", "clear_output"]),
], ids=["_HandleContent", "Tamsel"])
def test_classes_are_plain_classes(cls, methods):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "vorlen.tamsel"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    own = [n for n in vars(cls) if not (n.startswith("__") and n.endswith("__"))
           or n == "__init__"]
    assert own == methods

    class Sub(cls):
        pass

    assert Sub.__mro__[1] is cls


# --- function objects -----------------------------------------------------

def test_function_attributes_signatures_and_pickling():
    for qualname, (signature, defaults, kwdefaults) in FUNCTIONS.items():
        f = resolve(qualname)
        assert (f.__name__, f.__qualname__, f.__module__) == \
            (qualname.rpartition(".")[2], qualname, "vorlen.tamsel"), qualname
        assert f.__globals__ is vars(tamsel) and f.__closure__ is None, qualname
        assert f.__doc__ == (MAIN_DOC if qualname == "tamsel_main" else None), qualname
        assert (f.__defaults__, f.__kwdefaults__) == (defaults, kwdefaults), qualname
        assert str(inspect.signature(f)) == signature, qualname
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f, qualname


def test_signature_parameter_kinds():
    params = inspect.signature(tamsel._HandleContent.xprint).parameters
    assert [(p.name, p.kind) for p in params.values()] == [
        ("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        ("ws", inspect.Parameter.VAR_POSITIONAL),
        ("end", inspect.Parameter.KEYWORD_ONLY)]
    assert params["end"].default == "\n"
    name = inspect.signature(tamsel.Tamsel.__init__).parameters["name"]
    assert name.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and name.default is None


def test_functions_bind_as_methods():
    pc = tamsel._HandleContent()
    method = pc.xprint
    assert isinstance(method, types.MethodType)
    assert method.__self__ is pc and method.__func__ is vars(tamsel._HandleContent)["xprint"]
    assert tamsel._HandleContent.xprint is method.__func__

    # A module function stored on another class binds too: the instance
    # becomes its first argument.
    class Holder:
        drain = tamsel.clear_queue

    with pytest.raises(AttributeError, match="'Holder' object has no attribute 'empty'"):
        Holder().drain()
    assert Holder.drain is tamsel.clear_queue


def test_function_dict_and_defaults_are_writable():
    f = tamsel.clear_queue
    try:
        f.marker = 1
        f.__defaults__ = (7,)
        assert f.__dict__ == {"marker": 1}
        assert str(inspect.signature(f)) == "(q=7)"
        with pytest.raises(AttributeError, match="'int' object has no attribute 'empty'"):
            f()
    finally:
        f.__dict__.clear()
        f.__defaults__ = None


# --- argument errors --------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    # the positional count is checked before anything about keywords
    (lambda: tamsel.clear_queue(1, 2, bogus=3),
     "clear_queue() takes exactly 1 positional argument (2 given)"),
    (lambda: tamsel.sigint_handler(),
     "sigint_handler() takes exactly 2 positional arguments (0 given)"),
    # then the required parameters, before unknown keywords
    (lambda: tamsel.sigint_handler(1, bogus=2),
     "sigint_handler() takes exactly 2 positional arguments (1 given)"),
    # "given" is the position of the first missing parameter
    (lambda: tamsel.tamsel_main(qo=1, name=2),
     "tamsel_main() takes exactly 3 positional arguments (1 given)"),
    (lambda: tamsel.tamsel_main(qi=1, qo=2),
     "tamsel_main() takes exactly 3 positional arguments (0 given)"),
    # then the remaining keywords in the order they were passed
    (lambda: tamsel.clear_queue(1, zz=2, q=3),
     "clear_queue() got an unexpected keyword argument 'zz'"),
    (lambda: tamsel.clear_queue(1, q=3, zz=2),
     "clear_queue() got multiple values for keyword argument 'q'"),
    (lambda: tamsel.Tamsel(1, 2),
     "__init__() takes at most 2 positional arguments (3 given)"),
], ids=["count-first", "none-given", "required-before-unknown", "first-missing-1",
        "first-missing-0", "unknown-first", "multiple-first", "at-most"])
def test_argument_error_wording_and_order(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_non_string_keyword_is_refused():
    # Only reachable through the C calling convention; Python's own call
    # syntax refuses such keywords before the function sees them.
    api = ctypes.pythonapi
    vectorcall = api.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                           ctypes.py_object]
    values = (ctypes.py_object * 2)(1, "value")
    with pytest.raises(TypeError) as info:
        vectorcall(tamsel.clear_queue, ctypes.cast(values, ctypes.c_void_p), 1, (2,))
    assert str(info.value) == "clear_queue() keywords must be strings"


# --- traceback entries ------------------------------------------------------

def test_traceback_entry_names_the_method():
    bare = tamsel.Tamsel.__new__(tamsel.Tamsel)
    with pytest.raises(AttributeError) as info:
        bare.kill()
    assert entry_names(info.value)[-1] == "vorlen.tamsel.Tamsel.kill"
    last = info.traceback[-1]
    assert last.frame.code.raw.co_filename == "vorlen\\tamsel.cpp"


def test_traceback_entries_nest_and_cover_argument_errors():
    class Broken:
        def empty(self):
            raise OSError("no queue")

    bare = tamsel.Tamsel.__new__(tamsel.Tamsel)
    bare.qo = Broken()
    with pytest.raises(OSError) as info:
        bare.clear_output()
    names = entry_names(info.value)
    assert names[-3:] == ["vorlen.tamsel.Tamsel.clear_output", "vorlen.tamsel.clear_queue",
                          "empty"]
    with pytest.raises(TypeError) as info:
        tamsel._HandleContent().xreturn(1)
    assert entry_names(info.value)[-1] == "vorlen.tamsel._HandleContent.xreturn"


# --- module globals at call time -------------------------------------------

def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(tamsel, "mp")
    with pytest.raises(NameError) as info:
        tamsel.Tamsel()
    assert str(info.value) == "name 'mp' is not defined"
    assert entry_names(info.value)[-1] == "vorlen.tamsel.Tamsel.__init__"


def test_globals_are_looked_up_in_the_module_then_the_builtins(monkeypatch):
    seen = []
    monkeypatch.setattr(tamsel, "clear_queue", lambda q: seen.append(("module", q)))
    bare = tamsel.Tamsel.__new__(tamsel.Tamsel)
    bare.qo = "output"
    bare.clear_output()
    monkeypatch.delattr(tamsel, "clear_queue")
    monkeypatch.setattr(builtins, "clear_queue", lambda q: seen.append(("builtins", q)),
                        raising=False)
    bare.clear_output()
    assert seen == [("module", "output"), ("builtins", "output")]


def test_tamsel_uses_the_rebound_mp(monkeypatch):
    made = []

    class FakeProcess:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))

        def start(self):
            made.append("start")

    fake_mp = types.SimpleNamespace(Queue=lambda: object(), Process=FakeProcess)
    monkeypatch.setattr(tamsel, "mp", fake_mp)
    handle = tamsel.Tamsel("n")
    assert made == [((), {"target": tamsel.tamsel_main,
                          "args": ("n", handle.qi, handle.qo)}), "start"]
    assert handle.qi is not handle.qo


# --- load-time rules --------------------------------------------------------

def test_reload_and_reimport_give_back_the_same_unchanged_module(monkeypatch):
    marker = object()
    monkeypatch.setattr(tamsel, "mp", marker)
    assert importlib.reload(tamsel) is tamsel
    assert tamsel.mp is marker
    monkeypatch.delitem(sys.modules, "vorlen.tamsel")
    assert importlib.import_module("vorlen.tamsel") is tamsel
    assert tamsel.mp is marker


def test_second_module_object_is_refused():
    import _imp

    # A module object carrying this extension's definition, other than the
    # one already executed: what a second initialisation would look like.
    library = ctypes.PyDLL(tamsel.__file__)
    library.PyInit_tamsel.restype = ctypes.c_void_p
    definition = library.PyInit_tamsel()
    other = types.ModuleType("vorlen.tamsel")
    md_def = id(other) + 3 * ctypes.sizeof(ctypes.c_void_p)  # after head and md_dict
    assert ctypes.c_void_p.from_address(md_def).value is None
    ctypes.c_void_p.from_address(md_def).value = definition
    with pytest.raises(RuntimeError) as info:
        _imp.exec_dynamic(other)
    assert str(info.value) == ("Module 'tamsel' has already been imported. "
                               "Re-initialisation is not supported.")
    assert sys.modules["vorlen.tamsel"] is tamsel
    assert "Tamsel" not in vars(other)
    assert tamsel.Tamsel.__init__.__globals__ is vars(tamsel)


def test_second_interpreter_is_refused():
    lines = run_python("""
        import vorlen.tamsel
        try:
            import _interpreters as interpreters
        except ImportError:  # the module's name before 3.13
            import _xxsubinterpreters as interpreters
        if hasattr(interpreters, "RunFailedError"):
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import vorlen.tamsel")
            except interpreters.RunFailedError as exc:
                print(exc)
        else:  # 3.13 returns the failure instead of raising it
            interp = interpreters.create("legacy")
            failure = interpreters.run_string(interp, "import vorlen.tamsel")
            print(f"<class '{failure.type.__name__}'>: {failure.msg}")
        interpreters.destroy(interp)
    """)
    assert lines == ["<class 'ImportError'>: Interpreter change detected - this module "
                     "can only be loaded into one interpreter per process."]


def test_failed_import_gives_the_module_up():
    lines = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import vorlen.tamsel
        except ImportError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print(type(exc).__name__, "init vorlen.tamsel" in names)
        print("vorlen.tamsel" in sys.modules)
        del sys.modules["numpy"]
        import builtins
        saved = builtins.KeyboardInterrupt
        del builtins.KeyboardInterrupt
        try:
            import vorlen.tamsel
        except NameError as exc:
            print(exc)
        builtins.KeyboardInterrupt = saved
        import vorlen.tamsel as t
        print(t.Tamsel.__module__, t.np.__name__, t.tamsel_main.__globals__ is vars(t))
    """)
    assert lines == ["ModuleNotFoundError True", "False",
                     "name 'KeyboardInterrupt' is not defined",
                     "vorlen.tamsel numpy True"]
