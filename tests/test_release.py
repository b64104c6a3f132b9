"""Release check: the wheel built from this tree installs into a fresh virtual
environment, works there, and its extension modules export nothing but their
initialisation entry points.

Slow (it builds a wheel and a venv); deselect with `-m "not release"`.
"""
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

pytestmark = [pytest.mark.release, pytest.mark.timeout(600)]

# Symbols the linker itself defines in every shared object.
LINKER_SYMBOLS = {"_init", "_fini", "__bss_start", "_edata", "_end"}

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
pool = vorlen.corvane.CorvanePool(1)
try:
    answer = pool.map(["import numpy as np\nxreturn(total=int(np.arange(5).sum()))"])
    balanced = vorlen.map(pool, ["xreturn(k=1)"] * 3, balance=True, progress=True)
finally:
    pool.kill_all()
assert answer == [["SUCCESS", "", "", {"total": 10}]], answer
assert balanced == [["SUCCESS", "", "", {"k": 1}]] * 3, balanced
print("ok")
"""


def run(cmd, timeout, **kwargs):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)
    assert result.returncode == 0, (
        f"{cmd} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def clean_env():
    env = dict(os.environ)
    for key in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PYTHONSTARTUP"):
        env.pop(key, None)
    return env


EXTENSIONS = ("tamsel", "corvane", "_control", "_wire", "_sharedmem")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    # A build directory of its own, kept between runs so that later builds are
    # incremental; never a sanitizer build.
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
         "--quiet", "-w", str(out),
         "--config-settings=build-dir=build/release-{wheel_tag}",
         "--config-settings=cmake.define.VORLEN_SANITIZE=OFF",
         str(ROOT)], timeout=480, cwd=ROOT)
    wheels = list(out.glob("vorlen-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_contents(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    for required in ("vorlen/__init__.py", "vorlen/py.typed",
                     "vorlen/tamsel.pyi", "vorlen/corvane.pyi", "vorlen/_stopping.pyi"):
        assert required in names
    for module in EXTENSIONS:
        assert any(re.fullmatch(rf"vorlen/{module}\.cpython-312-[^/]*\.so", n) for n in names), \
            (module, sorted(names))


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_extensions_export_only_their_entry_point(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as zf:
        libraries = [n for n in zf.namelist() if n.endswith(".so")]
        zf.extractall(tmp_path, libraries)
    assert len(libraries) == len(EXTENSIONS), libraries
    for library in libraries:
        module = Path(library).name.split(".")[0]
        listing = run(["nm", "-D", "--defined-only", str(tmp_path / library)], timeout=60).stdout
        symbols = {line.split()[-1] for line in listing.splitlines()
                   if len(line.split()) >= 3}
        assert symbols - LINKER_SYMBOLS == {f"PyInit_{module}"}, (library, sorted(symbols))


def test_fresh_venv_install_and_use(wheel, tmp_path):
    venv = tmp_path / "venv"
    env = clean_env()
    run([sys.executable, "-m", "venv", str(venv)], timeout=120, env=env)
    python = str(venv / "bin" / "python")
    # The same versions as the development environment, so pip's cache serves them.
    deps = [f"{name}=={importlib.metadata.version(name)}" for name in ("numpy", "setproctitle", "tqdm")]
    run([python, "-m", "pip", "install", "--quiet", *deps], timeout=300, env=env)
    run([python, "-m", "pip", "install", "--quiet", "--no-deps", str(wheel)], timeout=120, env=env)

    result = run([python, "-c", SMOKE], timeout=60, cwd=tmp_path, env=env)
    assert result.stdout.strip() == "ok"
