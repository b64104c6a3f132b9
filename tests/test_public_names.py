"""What a user sees of each public name: a docstring at run time for the
package and vorlen.cluster, docstrings in the stubs of the two worker and
pool modules (whose own docstrings are fixed), signatures for every public
callable, and type hints that resolve."""
import ast
import importlib
import inspect
import typing
from pathlib import Path

import pytest

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel

STUBS = Path(vorlen.__file__).parent
# Helper protocols of the stubs: names of parameter types, not of the modules.
STUB_HELPERS = {"_Drainable", "_RequestSource", "_AnswerSink", "_AnswerSource"}


def cases(named):
    """pytest parameters of (name, object) pairs, named after the object."""
    return [pytest.param(obj, id=name) for name, obj in named]


def runtime_modules():
    modules = [vorlen]
    try:
        modules.append(importlib.import_module("vorlen.cluster"))
    except ImportError:  # without Dask's distributed
        pass
    return modules


def public(module):
    """(name, object) of the module's public names, the aliases of types
    and the version string left out: they cannot carry their own text."""
    for name in module.__all__:
        value = getattr(module, name)
        if inspect.isfunction(value) or inspect.isclass(value):
            yield f"{module.__name__}.{name}", value


def own_methods(cls):
    for name, value in vars(cls).items():
        if not name.startswith("_") and callable(inspect.unwrap(getattr(cls, name))):
            yield f"{cls.__qualname__}.{name}", getattr(cls, name)


def documented_runtime():
    for module in runtime_modules():
        yield module.__name__, module
        for name, value in public(module):
            yield name, value
            if inspect.isclass(value):
                yield from ((f"{module.__name__}.{n}", m) for n, m in own_methods(value))


@pytest.mark.parametrize("obj", cases(documented_runtime()))
def test_runtime_docstrings(obj):
    assert len((inspect.getdoc(obj) or "").strip()) > 20


def stub_definitions(tree, prefix=""):
    """(qualified name, node, docstring) of each class and def of a stub,
    and of each annotated class attribute whose type is a Callable."""
    for position, node in enumerate(tree.body):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            yield prefix + node.name, ast.get_docstring(node)
            if isinstance(node, ast.ClassDef):
                yield from stub_definitions(node, prefix + node.name + ".")
        elif (isinstance(node, ast.AnnAssign) and "Callable" in ast.unparse(node.annotation)):
            following = tree.body[position + 1] if position + 1 < len(tree.body) else None
            text = (following.value.value if isinstance(following, ast.Expr)
                    and isinstance(following.value, ast.Constant) else None)
            yield prefix + node.target.id, text


@pytest.mark.parametrize("module", [tamsel, corvane], ids=lambda m: m.__name__)
def test_stub_docstrings_cover_the_module(module):
    stub = STUBS / (module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text())
    assert ast.get_docstring(tree)
    documented = {}
    for name, text in stub_definitions(tree):
        if name.split(".")[0] not in STUB_HELPERS:
            assert text and len(text) > 20, f"{stub.name}: {name} has no docstring"
            documented[name] = text
    # Every function and class of the module, and every function of its classes.
    expected = set()
    for name, value in vars(module).items():
        if callable(value) and not inspect.ismodule(value) and value.__module__ == module.__name__:
            expected.add(name)
            if inspect.isclass(value):
                expected.update(f"{name}.{m}" for m in vars(value)
                                if callable(getattr(value, m)) and not m.startswith("__")
                                or m == "__init__")
    assert expected <= set(documented), expected - set(documented)
    # The modules' own docstrings stay what they are.
    assert module.__doc__ is None


def public_callables():
    for module in runtime_modules():
        for name, value in public(module):
            yield name, value
            if inspect.isclass(value):
                yield from ((f"{module.__name__}.{n}", m) for n, m in own_methods(value))
    for module in (tamsel, corvane):
        for name, value in vars(module).items():
            if callable(value) and not inspect.ismodule(value) and value.__module__ == module.__name__:
                yield f"{module.__name__}.{name}", value


@pytest.mark.parametrize("obj", cases(public_callables()))
def test_signatures_and_type_hints(obj):
    inspect.signature(obj)
    if inspect.isfunction(obj) and obj.__module__.startswith("vorlen"):
        typing.get_type_hints(obj)
    elif inspect.isclass(obj) and obj.__module__.startswith("vorlen") and not isinstance(
            obj.__init__, type(tamsel.Tamsel.__init__)):
        typing.get_type_hints(obj.__init__)


def test_version_is_the_distributions():
    from importlib.metadata import version
    assert vorlen.__version__ == version("vorlen")
    assert type(vorlen.__version__) is str and vorlen.__version__[0].isdigit()
