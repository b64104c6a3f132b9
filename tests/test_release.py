"""Release check: the wheels that `make wheel` builds (one per supported
interpreter found here, repaired to a manylinux tag) install into fresh
virtual environments with no compiler on PATH, run the README's first
example there, and their extension modules export nothing but their
initialisation entry points.

Slow (it builds the wheels and a venv per interpreter); `make test` runs it
once, with 3.12's environment; deselect it with `-m "not release"`.
"""
import email
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = [pytest.mark.release, pytest.mark.timeout(900)]

# Symbols the linker itself defines in every shared object.
LINKER_SYMBOLS = {"_init", "_fini", "__bss_start", "_edata", "_end"}

EXTENSIONS = ("tamsel", "corvane", "_control", "_wire", "_sharedmem")

# Runs in the fresh venv, from a directory outside the source tree.
SMOKE = r"""
import signal, sys, vorlen, vorlen.tamsel, vorlen.corvane
assert vorlen.corvane.cs is vorlen.tamsel
assert vorlen.tamsel.__file__.startswith(sys.prefix), vorlen.tamsel.__file__
# Nothing of another environment is on the path.
assert not [p for p in sys.path if "-packages" in p and not p.startswith(sys.prefix)], sys.path

def give_up(signum, frame):
    raise TimeoutError("no answer within 30 s")

signal.signal(signal.SIGALRM, give_up)
signal.alarm(30)  # so that the pool below is killed even if its answer never comes
with vorlen.pool(1) as pool:
    answer = pool.map(["import numpy as np\nxreturn(total=int(np.arange(5).sum()))"])
    balanced = vorlen.map(pool, ["xreturn(k=1)"] * 3, balance=True, progress=True)
assert answer == [["SUCCESS", "", "", {"total": 10}]], answer
assert balanced == [["SUCCESS", "", "", {"k": 1}]] * 3, balanced
print("ok", vorlen.__version__)
"""


def run(cmd, timeout, **kwargs):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)
    assert result.returncode == 0, (
        f"{cmd} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def clean_env(**extra):
    env = dict(os.environ)
    for key in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PYTHONSTARTUP"):
        env.pop(key, None)
    env.update(extra)
    return env


def readme_example():
    """The first Python example of the README."""
    text = (ROOT / "README.md").read_text()
    return re.search(r"```python\n(.*?)```", text, re.S).group(1)


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """{"cp312": path, ...}: the repaired wheel of each interpreter found."""
    out = tmp_path_factory.mktemp("wheels")
    made = run([str(ROOT / "scripts" / "wheel.sh")], timeout=840, cwd=ROOT,
               env=clean_env(VORLEN_WHEEL_DIR=str(out))).stdout.split()
    found = {}
    for path in made:
        tag = Path(path).name.split("-")[2]
        assert tag not in found, made
        found[tag] = Path(path)
    assert "cp312" in found, made
    return found


def each_wheel(test):
    """Runs `test` on the wheel of each interpreter."""
    return pytest.mark.parametrize("tag", ["cp312", "cp313"])(test)


def wheel_of(wheels, tag):
    if tag not in wheels:
        pytest.skip(f"no interpreter for {tag} here")
    return wheels[tag]


@each_wheel
def test_wheel_contents_and_metadata(wheels, tag):
    wheel = wheel_of(wheels, tag)
    assert re.fullmatch(rf"vorlen-[^-]+-{tag}-{tag}-manylinux_\d+_\d+_x86_64\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        info = next(n for n in names if n.endswith(".dist-info/METADATA"))
        metadata = email.message_from_string(zf.read(info).decode())
    for required in ("vorlen/__init__.py", "vorlen/py.typed", "vorlen/tamsel.pyi",
                     "vorlen/corvane.pyi", "vorlen/_stopping.pyi"):
        assert required in names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), sorted(names)
    for module in EXTENSIONS:
        assert any(re.fullmatch(rf"vorlen/{module}\.cpython-{tag[2:]}-[^/]*\.so", n)
                   for n in names), (module, sorted(names))
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Requires-Python"] in (">=3.12,<3.14", "<3.14,>=3.12")
    classifiers = metadata.get_all("Classifier")
    assert f"Programming Language :: Python :: 3.{tag[3:]}" in classifiers
    assert "Operating System :: POSIX :: Linux" in classifiers


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@each_wheel
def test_extensions_export_only_their_entry_point(wheels, tag, tmp_path):
    with zipfile.ZipFile(wheel_of(wheels, tag)) as zf:
        libraries = [n for n in zf.namelist() if n.endswith(".so")]
        zf.extractall(tmp_path, libraries)
    assert len(libraries) == len(EXTENSIONS), libraries
    for library in libraries:
        module = Path(library).name.split(".")[0]
        listing = run(["nm", "-D", "--defined-only", str(tmp_path / library)], timeout=60).stdout
        symbols = {line.split()[-1] for line in listing.splitlines()
                   if len(line.split()) >= 3}
        assert symbols - LINKER_SYMBOLS == {f"PyInit_{module}"}, (library, sorted(symbols))


def base_interpreter(tag):
    """The interpreter of the development environment for `tag`."""
    version = f"3.{tag[3:]}"
    venv = ROOT / (".venv" if version == "3.12" else f".venv-{version}")
    python = venv / "bin" / "python"
    code = "import sys; print(sys._base_executable)"
    return python, run([str(python), "-c", code], timeout=60).stdout.strip()


@each_wheel
def test_installs_without_a_compiler_and_runs_the_readme_example(wheels, tag, tmp_path):
    wheel = wheel_of(wheels, tag)
    dev_python, base = base_interpreter(tag)
    venv = tmp_path / "venv"
    run([base, "-m", "venv", str(venv)], timeout=120, env=clean_env())
    # Only the venv's own programs: no compiler, no CMake, to be sure that
    # nothing is built.
    env = clean_env(PATH=str(venv / "bin"), CC="false", CXX="false")
    python = str(venv / "bin" / "python")
    # The same versions as the development environment, so pip's cache serves them.
    pinned = run([str(dev_python), "-c",
                  "import importlib.metadata as m\n"
                  "print(*[f'{n}=={m.version(n)}' for n in ('numpy', 'setproctitle', 'tqdm')])"],
                 timeout=60).stdout.split()
    run([python, "-m", "pip", "install", "--quiet", "--only-binary=:all:", *pinned],
        timeout=300, env=env)
    run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--only-binary=:all:",
         str(wheel)], timeout=120, env=env)

    example = tmp_path / "example.py"
    example.write_text(readme_example())
    run([python, str(example)], timeout=60, cwd=tmp_path, env=env)
    result = run([python, "-c", SMOKE], timeout=60, cwd=tmp_path, env=env)
    assert result.stdout.split() == ["ok", importlib.metadata.version("vorlen")]
