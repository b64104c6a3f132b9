"""Argument binding of every function of both modules, checked against a small
pure-Python model of its rules: random numbers of positional arguments,
random keyword sets (parameter names, names that repeat a positional one,
unknown names, and through the C calling convention also a keyword that is
not a string), random __defaults__, called plainly, as bound methods and
through PyObject_Vectorcall. Every function is set up so that its body is
harmless or ends at once when the binding succeeds."""
import ctypes
import types
from contextlib import contextmanager
from dataclasses import dataclass

from hypothesis import HealthCheck, given, settings, strategies as st

import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from support import FakeQueue


# --- the model ---------------------------------------------------------------

@dataclass(frozen=True)
class Params:
    name: str                 # __name__, first in every message
    positional: tuple         # positional-or-keyword parameters, in order
    varargs: str | None = None
    kwonly: tuple = ()
    varkw: str | None = None


def count_message(p, defaults, too_many, given_count):
    n_defaults = min(len(defaults or ()), len(p.positional))
    required = len(p.positional) - n_defaults
    exact = n_defaults == 0 and p.varargs is None
    bound = "exactly" if exact else "at most" if too_many else "at least"
    number = len(p.positional) if too_many and not exact else required
    return (f"{p.name}() takes {bound} {number} positional "
            f"argument{'' if number == 1 else 's'} ({given_count} given)")


def expected_error(p, defaults, nargs, keywords):
    """The TypeError message the call must raise, or None when it binds."""
    argcount = len(p.positional)
    required = argcount - min(len(defaults or ()), argcount)
    # 1. The positional count.
    if nargs > argcount and p.varargs is None:
        return count_message(p, defaults, True, nargs)
    if nargs < required and not keywords:
        return count_message(p, defaults, False, nargs)
    # 2. The required parameters, by position, else by keyword.
    for i in range(nargs, required):
        if p.positional[i] not in keywords:
            return count_message(p, defaults, False, i)
    # 3. The remaining keywords, in the order they were passed.
    filled = set(p.positional[:nargs])
    named = p.positional + p.kwonly
    for key in keywords:
        if not isinstance(key, str):
            return f"{p.name}() keywords must be strings"
        if key in named:
            if key in filled:
                return f"{p.name}() got multiple values for keyword argument '{key}'"
            filled.add(key)
        elif p.varkw is None:
            return f"{p.name}() got an unexpected keyword argument '{key}'"
    return None


# --- harmless stand-ins ------------------------------------------------------

class Stop(BaseException):
    """Ends tamsel_main's loop from its first qi.get."""


class StopQueue:
    def get(self, *args, **kwargs):
        raise Stop


class FakeProcess:
    pid = 4242

    def __init__(self, **kwargs):
        pass

    def start(self):
        pass

    def is_alive(self):
        return False


FAKE_MP = types.SimpleNamespace(Queue=FakeQueue, Process=FakeProcess)
FAKE_SIGNAL = types.SimpleNamespace(SIGINT=2, signal=lambda signum, handler: None)


def fake_handle():
    handle = tamsel.Tamsel.__new__(tamsel.Tamsel)
    handle.qi, handle.qo, handle.proc = FakeQueue(), FakeQueue(), FakeProcess()
    return handle


def empty_pool():
    pool = corvane.CorvanePool.__new__(corvane.CorvanePool)
    pool.N, pool.procs, pool.name_pref = 0, {}, "p"
    return pool


@dataclass
class Case:
    qualname: str             # as the traceback entry names it, after the module
    module: types.ModuleType
    params: Params
    values: callable          # () -> {parameter: harmless value}
    bindable: bool = True     # reachable through an instance as a bound method
    ends_with: type | None = None  # what a call that binds raises, if anything

    @property
    def function(self):
        obj = self.module
        for part in self.qualname.split("."):
            obj = obj.__dict__[part] if isinstance(obj, type) else getattr(obj, part)
        return obj.__func__ if isinstance(obj, staticmethod) else obj


def capture():
    return tamsel._HandleContent()


CASES = [
    Case("clear_queue", tamsel, Params("clear_queue", ("q",)),
         lambda: {"q": FakeQueue()}, bindable=False),
    Case("sigint_handler", tamsel, Params("sigint_handler", ("signum", "frame")),
         lambda: {"signum": 2, "frame": None}, bindable=False),
    Case("_HandleContent.__init__", tamsel, Params("__init__", ("self",)),
         lambda: {"self": capture()}),
    Case("_HandleContent.xprint", tamsel,
         Params("xprint", ("self",), varargs="ws", kwonly=("end",)),
         lambda: {"self": capture(), "end": "", "ws": "w"}),
    Case("_HandleContent.clear", tamsel, Params("clear", ("self",)),
         lambda: {"self": capture()}),
    Case("_HandleContent.xreturn", tamsel, Params("xreturn", ("self",), varkw="kwds"),
         lambda: {"self": capture()}),
    Case("tamsel_main", tamsel, Params("tamsel_main", ("name", "qi", "qo")),
         lambda: {"name": None, "qi": StopQueue(), "qo": FakeQueue()},
         bindable=False, ends_with=Stop),
    Case("Tamsel.__init__", tamsel, Params("__init__", ("self", "name")),
         lambda: {"self": tamsel.Tamsel.__new__(tamsel.Tamsel), "name": None}),
    Case("Tamsel.blocked_put", tamsel, Params("blocked_put", ("self", "w")),
         lambda: {"self": fake_handle(), "w": "pass"}),
    Case("Tamsel.kill", tamsel, Params("kill", ("self",)),
         lambda: {"self": fake_handle()}),
    Case("Tamsel.clear_output", tamsel, Params("clear_output", ("self",)),
         lambda: {"self": fake_handle()}),
    Case("reduce", corvane, Params("reduce", ("red",)), lambda: {"red": []},
         bindable=False),
    Case("CorvanePool.__init__", corvane, Params("__init__", ("self", "N", "name_pref")),
         lambda: {"self": corvane.CorvanePool.__new__(corvane.CorvanePool), "N": 0,
                  "name_pref": "p"}),
    Case("CorvanePool.init_process", corvane, Params("init_process", ("self",)),
         lambda: {"self": empty_pool()}),
    Case("CorvanePool.kill_all", corvane, Params("kill_all", ("self",)),
         lambda: {"self": empty_pool()}),
    Case("CorvanePool.clear_output", corvane, Params("clear_output", ("self",)),
         lambda: {"self": empty_pool()}),
    Case("CorvanePool.map", corvane, Params("map", ("self", "args", "block")),
         lambda: {"self": empty_pool(), "args": [], "block": False}),
    Case("CorvaneNoRep.set", corvane, Params("set", ("builtin",)),
         lambda: {"builtin": types.SimpleNamespace()}, bindable=False),
    Case("CorvaneNoRep.init_process", corvane, Params("init_process", ("n",)),
         lambda: {"n": 0}, bindable=False),
]


@contextmanager
def harmless_surroundings():
    """Fakes for the globals that bodies reach, put back afterwards."""
    saved_tamsel = {k: tamsel.__dict__[k] for k in ("mp", "signal")}
    saved_builtin = corvane.CorvaneNoRep.builtin
    tamsel.mp, tamsel.signal = FAKE_MP, FAKE_SIGNAL
    corvane.CorvaneNoRep.builtin = types.SimpleNamespace(CNR=types.SimpleNamespace(N=0))
    try:
        yield
    finally:
        tamsel.__dict__.update(saved_tamsel)
        tamsel.__dict__.pop("stop", None)
        corvane.CorvaneNoRep.builtin = saved_builtin


# --- calling -------------------------------------------------------------------

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                        ctypes.c_size_t, ctypes.c_void_p]
_vectorcall.restype = ctypes.py_object


def call_through_c(function, positional, keywords):
    """PyObject_Vectorcall with a kwnames tuple: lets a keyword that is not a
    string reach the function, which no Python-level call can do."""
    kwnames = tuple(keywords)
    values = list(positional) + list(keywords.values())
    array = (ctypes.py_object * len(values))(*values) if values else None
    return _vectorcall(function, array, len(positional), id(kwnames) if kwnames else None)


def outcome(call):
    try:
        call()
    except TypeError as error:
        return error
    except BaseException as other:
        return other
    return None


def innermost_entry(error):
    tb = error.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name


# Names that are parameters of some functions and not of others, the names
# of the star parameters, and one that is no parameter anywhere.
UNKNOWN_NAMES = ["self", "bogus", "ws", "kwds", "end", "name", "w"]


@st.composite
def calls(draw):
    case = draw(st.sampled_from(CASES))
    p = case.params
    nargs = draw(st.integers(0, len(p.positional) + 2))
    own = p.positional + p.kwonly
    names = draw(st.lists(st.one_of(st.sampled_from(own), st.sampled_from(UNKNOWN_NAMES)),
                          unique=True, max_size=4))
    mode = draw(st.sampled_from(["plain", "bound", "c"]))
    if mode == "bound" and not (case.bindable and nargs >= 1):
        mode = "plain"
    if mode == "c" and draw(st.booleans()):
        names.insert(draw(st.integers(0, len(names))), 7)  # not a string
    # Sometimes other __defaults__: how many trailing parameters have one.
    defaults_len = None
    if case.function.__defaults__ is not None or draw(st.integers(0, 4)) == 0:
        defaults_len = draw(st.integers(0, len(p.positional)))
    return case, nargs, names, mode, defaults_len


@settings(max_examples=1000, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(calls())
def test_argument_errors_follow_the_binding_rules(call):
    case, nargs, names, mode, defaults_len = call
    p = case.params
    function = case.function
    original_defaults = function.__defaults__
    with harmless_surroundings():
        values = case.values()
        positional = [values.get(p.positional[i]) if i < len(p.positional)
                      else values.get(p.varargs, "extra") for i in range(nargs)]
        keywords = {key: values.get(key, "v") if isinstance(key, str) else "v"
                    for key in names}
        if defaults_len is not None:
            function.__defaults__ = tuple(
                values[n] for n in p.positional[len(p.positional) - defaults_len:]) or None
        try:
            if mode == "plain":
                result = outcome(lambda: function(*positional, **keywords))
            elif mode == "bound":
                method = getattr(positional[0], function.__name__)
                result = outcome(lambda: method(*positional[1:], **keywords))
            else:
                result = outcome(lambda: call_through_c(function, positional, keywords))
        finally:
            function.__defaults__ = original_defaults

    expected = expected_error(p, function.__defaults__ if defaults_len is None
                              else (None,) * defaults_len, nargs, names)
    where = f"{case.qualname}, {nargs} positional, keywords {names}, {mode}"
    if expected is None:
        if case.ends_with is None:
            assert result is None, f"{where}: {result!r}"
        else:
            assert isinstance(result, case.ends_with), f"{where}: {result!r}"
    else:
        assert type(result) is TypeError, f"{where}: expected {expected!r}, got {result!r}"
        assert str(result) == expected, where
        assert innermost_entry(result) == f"{case.module.__name__}.{case.qualname}", where


def test_model_agrees_with_the_documented_examples():
    init = Params("__init__", ("self", "name"))
    put = Params("blocked_put", ("self", "w"))
    xprint = Params("xprint", ("self",), varargs="ws", kwonly=("end",))
    xreturn = Params("xreturn", ("self",), varkw="kwds")
    assert expected_error(init, (None,), 3, []) == \
        "__init__() takes at most 2 positional arguments (3 given)"
    assert expected_error(init, (None,), 0, []) == \
        "__init__() takes at least 1 positional argument (0 given)"
    assert expected_error(put, None, 1, []) == \
        "blocked_put() takes exactly 2 positional arguments (1 given)"
    assert expected_error(put, None, 1, ["bogus"]) == \
        "blocked_put() takes exactly 2 positional arguments (1 given)"
    assert expected_error(put, None, 2, ["bogus"]) == \
        "blocked_put() got an unexpected keyword argument 'bogus'"
    assert expected_error(xprint, None, 0, []) == \
        "xprint() takes at least 1 positional argument (0 given)"
    assert expected_error(xprint, None, 1, ["sep"]) == \
        "xprint() got an unexpected keyword argument 'sep'"
    assert expected_error(xreturn, None, 2, []) == \
        "xreturn() takes exactly 1 positional argument (2 given)"
    assert expected_error(xreturn, None, 1, ["self"]) == \
        "xreturn() got multiple values for keyword argument 'self'"
    assert expected_error(xreturn, None, 1, ["kwds", "x"]) is None
