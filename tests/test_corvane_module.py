"""The pool module's namespace, class shapes, function objects, argument
errors, traceback entries and module globals looked up at call time."""
import builtins
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback

import pytest

import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from corvane_support import fake_worker_module, reap_workers  # noqa: F401

CorvanePool = corvane.CorvanePool
CorvaneNoRep = corvane.CorvaneNoRep


def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def entry_files(exc):
    return [frame.filename for frame in traceback.extract_tb(exc.__traceback__)]


def run_fresh(code):
    """Runs `code` in a fresh interpreter and returns its stdout."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


# --- namespace and import ---------------------------------------------------

def test_namespace_holds_exactly_the_four_names_in_order():
    own = [k for k in vars(corvane) if not (k.startswith("__") and k.endswith("__"))]
    assert own == ["cs", "reduce", "CorvanePool", "CorvaneNoRep"]
    assert corvane.__name__ == "vorlen.corvane"
    assert corvane.__doc__ is None
    assert corvane.__package__ == "vorlen"
    assert corvane.__builtins__ is builtins
    assert corvane.__file__ == corvane.__spec__.origin
    assert corvane.__loader__ is corvane.__spec__.loader
    assert not hasattr(corvane, "__path__")
    assert not hasattr(corvane, "__all__")


def test_cs_is_the_worker_module_itself():
    assert corvane.cs is tamsel
    assert corvane.cs is sys.modules["vorlen.tamsel"]


def test_fresh_import_binds_worker_module_and_starts_nothing():
    out = run_fresh("""
        import multiprocessing, os, sys, threading
        import vorlen.corvane
        def children():
            found = []
            for entry in os.listdir("/proc"):
                if entry.isdigit():
                    try:
                        with open(f"/proc/{entry}/stat") as f:
                            stat = f.read()
                    except OSError:
                        continue
                    if int(stat.rsplit(")", 1)[1].split()[1]) == os.getpid():
                        found.append(entry)
            return found
        print("vorlen.tamsel" in sys.modules)
        print(vorlen.corvane.cs is sys.modules["vorlen.tamsel"])
        print(multiprocessing.active_children(), children(), threading.active_count())
        print(vorlen.corvane.CorvaneNoRep.builtin)
        print([k for k in vars(vorlen.corvane) if not k.startswith("__")])
    """)
    assert out.split("\n")[:5] == [
        "True", "True", "[] [] 1", "None", "['cs', 'reduce', 'CorvanePool', 'CorvaneNoRep']"]


def test_functions_pickle_by_reference():
    for f in (corvane.reduce, CorvanePool.map, CorvanePool.__init__,
              CorvaneNoRep.init_process, vars(CorvaneNoRep)["set"].__func__):
        assert pickle.loads(pickle.dumps(f)) is f


# --- class shapes -----------------------------------------------------------

class _Pool:
    def __init__(self, N, name_pref="CorvaneingPool"): pass
    def init_process(self): pass
    def kill_all(self): pass
    def clear_output(self): pass
    def map(self, args, block=True): pass


# Names that the compiler puts in the namespace of a class statement from
# 3.13 on; type() does not add them.
COMPILER_ADDED = {"__static_attributes__", "__firstlineno__"}


class _NoRep:
    builtin = None
    @staticmethod
    def set(builtin): pass
    def init_process(n): pass


@pytest.mark.parametrize("cls, like", [(CorvanePool, _Pool), (CorvaneNoRep, _NoRep)])
def test_classes_are_plain_classes_on_object(cls, like):
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert cls.__module__ == "vorlen.corvane"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    # The class dict is what the equivalent class statement builds, in order
    # (less what a 3.13 compiler adds to a class statement's namespace).
    assert list(vars(cls)) == [name for name in vars(like) if name not in COMPILER_ADDED]
    obj = cls.__new__(cls)
    obj.anything = 1
    assert vars(obj) == {"anything": 1}


def test_norep_is_not_a_pool_and_has_its_class_attribute():
    assert not issubclass(CorvaneNoRep, CorvanePool)
    assert "builtin" in vars(CorvaneNoRep)
    assert CorvaneNoRep.__init__ is object.__init__


def test_set_is_static_and_init_process_binds():
    raw_set = vars(CorvaneNoRep)["set"]
    raw_init = vars(CorvaneNoRep)["init_process"]
    assert type(raw_set) is staticmethod
    assert not isinstance(raw_init, (staticmethod, classmethod))
    instance = CorvaneNoRep()
    assert CorvaneNoRep.set is raw_set.__func__
    assert instance.set is raw_set.__func__
    assert CorvaneNoRep.init_process is raw_init
    bound = instance.init_process
    assert bound.__self__ is instance and bound.__func__ is raw_init
    assert CorvanePool(0).map.__func__ is CorvanePool.map


# --- function objects -------------------------------------------------------

FUNCTIONS = {
    "reduce": ("(red)", None),
    "CorvanePool.__init__": ("(self, N, name_pref='CorvaneingPool')", ("CorvaneingPool",)),
    "CorvanePool.init_process": ("(self)", None),
    "CorvanePool.kill_all": ("(self)", None),
    "CorvanePool.clear_output": ("(self)", None),
    "CorvanePool.map": ("(self, args, block=True)", (True,)),
    "CorvaneNoRep.set": ("(builtin)", None),
    "CorvaneNoRep.init_process": ("(n)", None),
}


def lookup(qualname):
    obj = corvane
    for part in qualname.split("."):
        obj = vars(obj)[part]
    return obj.__func__ if isinstance(obj, staticmethod) else obj


def test_function_objects():
    for qualname, (signature, defaults) in FUNCTIONS.items():
        f = lookup(qualname)
        assert f.__qualname__ == qualname
        assert f.__name__ == qualname.rsplit(".", 1)[-1], qualname
        assert f.__module__ == "vorlen.corvane", qualname
        assert f.__doc__ is None, qualname
        assert f.__defaults__ == defaults, qualname
        assert type(f.__defaults__) is type(defaults), qualname
        assert f.__kwdefaults__ is None, qualname
        assert f.__closure__ is None, qualname
        assert f.__globals__ is vars(corvane), qualname
        sig = inspect.signature(f)
        assert str(sig) == signature, qualname
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values()), qualname


def test_every_parameter_accepts_its_keyword(monkeypatch):
    pool = CorvanePool(N=0, name_pref="kw")
    assert (pool.N, pool.procs, pool.name_pref) == (0, {}, "kw")
    assert pool.map(args=[], block=False) == []
    assert corvane.reduce(red=()) == []
    holder = type("Holder", (), {})()
    holder.CNR = type("Pool", (), {"N": 4})()
    monkeypatch.setattr(CorvaneNoRep, "builtin", None)
    assert CorvaneNoRep.set(builtin=holder) is None
    assert CorvaneNoRep.builtin is holder
    assert CorvaneNoRep.init_process(n=4) is holder.CNR


def test_default_prefix_names_the_workers(monkeypatch):
    fake = fake_worker_module()
    monkeypatch.setattr(corvane, "cs", fake)
    pool = CorvanePool(2)
    assert pool.name_pref == "CorvaneingPool"
    assert [h.name for h in fake.made] == ["CorvaneingPool_0", "CorvaneingPool_1"]


# --- argument errors and traceback entries ----------------------------------

def check_type_errors(cases):
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_reduce_argument_errors():
    reduce = corvane.reduce
    check_type_errors([
        (lambda: reduce(), "reduce() takes exactly 1 positional argument (0 given)"),
        (lambda: reduce([], []), "reduce() takes exactly 1 positional argument (2 given)"),
        # The missing argument is reported before the stray keyword.
        (lambda: reduce(x=1), "reduce() takes exactly 1 positional argument (0 given)"),
        (lambda: reduce([], x=1), "reduce() got an unexpected keyword argument 'x'"),
        (lambda: reduce([], red=[]), "reduce() got multiple values for keyword argument 'red'"),
    ])


def test_pool_argument_errors():
    pool = CorvanePool(0)
    check_type_errors([
        (lambda: CorvanePool(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: CorvanePool(name_pref="p"),
         "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: CorvanePool(0, "p", 3), "__init__() takes at most 3 positional arguments (4 given)"),
        (lambda: CorvanePool(0, N=0), "__init__() got multiple values for keyword argument 'N'"),
        (lambda: pool.map(), "map() takes at least 2 positional arguments (1 given)"),
        (lambda: pool.map([], True, 1), "map() takes at most 3 positional arguments (4 given)"),
        (lambda: pool.map([], blok=1), "map() got an unexpected keyword argument 'blok'"),
        (lambda: pool.kill_all(1), "kill_all() takes exactly 1 positional argument (2 given)"),
        (lambda: pool.clear_output(1),
         "clear_output() takes exactly 1 positional argument (2 given)"),
        (lambda: pool.init_process(1),
         "init_process() takes exactly 1 positional argument (2 given)"),
    ])


def test_norep_argument_errors():
    check_type_errors([
        (lambda: CorvaneNoRep.set(), "set() takes exactly 1 positional argument (0 given)"),
        (lambda: CorvaneNoRep().set(1, 2), "set() takes exactly 1 positional argument (2 given)"),
        (lambda: CorvaneNoRep.set(1, holder=2), "set() got an unexpected keyword argument 'holder'"),
        (lambda: CorvaneNoRep.init_process(),
         "init_process() takes exactly 1 positional argument (0 given)"),
        (lambda: CorvaneNoRep().init_process(1),
         "init_process() takes exactly 1 positional argument (2 given)"),
    ])


def test_traceback_entries_name_module_and_qualname():
    pool = CorvanePool(0)
    cases = [
        (lambda: corvane.reduce(), ["vorlen.corvane.reduce"]),
        (lambda: corvane.reduce([object()]), ["vorlen.corvane.reduce"]),
        (lambda: pool.map(None), ["vorlen.corvane.CorvanePool.map"]),
        (lambda: CorvanePool("x"),
         ["vorlen.corvane.CorvanePool.__init__", "vorlen.corvane.CorvanePool.init_process"]),
        (lambda: CorvaneNoRep.set(), ["vorlen.corvane.CorvaneNoRep.set"]),
        (lambda: CorvaneNoRep.init_process(), ["vorlen.corvane.CorvaneNoRep.init_process"]),
    ]
    for call, entries in cases:
        with pytest.raises(Exception) as info:
            call()
        names = entry_names(info.value)
        # Innermost last, as for Python functions.
        assert names[-len(entries):] == entries
        assert any("vorlen" in f and "corvane" in f for f in entry_files(info.value))


def test_kill_all_and_clear_output_entries():
    pool = CorvanePool(0)
    pool.procs = None
    for method in ("kill_all", "clear_output"):
        with pytest.raises(AttributeError) as info:
            getattr(pool, method)()
        assert f"vorlen.corvane.CorvanePool.{method}" in entry_names(info.value)


# --- module globals at call time --------------------------------------------

def test_rebinding_cs_changes_what_pools_build(monkeypatch):
    fake = fake_worker_module()
    monkeypatch.setattr(corvane, "cs", fake)
    pool = CorvanePool(3, "fake")
    assert [h.name for h in fake.made] == ["fake_0", "fake_1", "fake_2"]
    assert list(pool.procs.values()) == fake.made
    assert list(pool.procs) == [h.proc.pid for h in fake.made]


def test_rebinding_reduce_changes_map(monkeypatch):
    fake = fake_worker_module()
    monkeypatch.setattr(corvane, "cs", fake)
    pool = CorvanePool(2)
    seen = []
    monkeypatch.setattr(corvane, "reduce", lambda red: seen.append(red) or "collected")
    assert pool.map(["a", "b", "c"]) == "collected"
    assert seen == [[fake.made[0].qo, fake.made[1].qo, fake.made[0].qo]]
    # Not consulted when the caller collects later.
    assert pool.map(["a"], block=False) == [fake.made[0].qo]
    assert len(seen) == 1


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.setattr(CorvaneNoRep, "builtin", None)
    cases = [
        ("reduce", lambda: CorvanePool(0).map([])),
        ("cs", lambda: CorvanePool(1)),
        ("CorvanePool", lambda: CorvaneNoRep.init_process(1)),
        ("CorvaneNoRep", lambda: CorvaneNoRep.set(None)),
    ]
    namespace = vars(corvane)
    try:
        for name, call in cases:
            with monkeypatch.context() as patch:
                patch.delattr(corvane, name)
                with pytest.raises(NameError) as info:
                    call()
            assert str(info.value) == f"name '{name}' is not defined"
    finally:
        # Put the names back in their original order.
        for name in ("cs", "reduce", "CorvanePool", "CorvaneNoRep"):
            namespace[name] = namespace.pop(name)
