"""A failed C++ allocation inside any entry point or slot becomes MemoryError, and the module keeps
working afterwards: each case runs in its own interpreter with failing_new preloaded (operator new
failing once, where failing_new/drive.py picks). Entry points that make no C++ allocation (plain
getters, len(), hash(), ==) go through the same guard but cannot be made to fail this way."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "failing_new"
COMPILER = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
sys.path.insert(0, str(HERE))
from drive import cold_calls, warm_calls  # noqa: E402  (the entry points the driver knows)

def module_imports_operator_new():
    """Whether the installed module takes operator new from the shared C++ runtime, where a
    preloaded replacement can reach it. The self-contained wheel links its own."""
    import velk_anonymizer

    nm = shutil.which("nm")
    if nm is None:
        return True
    symbols = subprocess.run([nm, "-D", "--undefined-only", velk_anonymizer.__file__],
                             capture_output=True, text=True, check=True).stdout
    return "_Znwm" in symbols


pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs LD_PRELOAD (Linux)"),
    pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler to build failing_new"),
    # A preloaded sanitizer runtime brings its own operator new, which would take precedence.
    pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""),
                       reason="a sanitizer runtime replaces operator new"),
    # scripts/test.sh runs this file against the shared build in .venv as well.
    pytest.mark.skipif(not module_imports_operator_new(),
                       reason="the module links its own C++ runtime (the self-contained wheel)"),
]

WARM = list(warm_calls())
# First use in a fresh process: the failures also fall into building the process-wide tables.
COLD = list(cold_calls())


@pytest.fixture(scope="module")
def failing_new(tmp_path_factory):
    library = tmp_path_factory.mktemp("failing_new") / "libfailing_new.so"
    subprocess.run([COMPILER, "-std=c++17", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra",
                    str(HERE / "failing_new.cpp"), "-o", str(library)], check=True)
    return library


def drive(library, entry_point, *flags):
    env = dict(os.environ, LD_PRELOAD=str(library))
    run = subprocess.run([sys.executable, str(HERE / "drive.py"), str(library), entry_point,
                          *flags], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("entry_point,flags", [(name, ()) for name in WARM] + [
    (name, ("--cold",)) for name in COLD], ids=WARM + [f"{name} (cold)" for name in COLD])
def test_failed_allocations_raise_memory_error(failing_new, entry_point, flags):
    report = drive(failing_new, entry_point, *flags)
    assert report["unexpected"] == [] and report["memory_errors"] > 0
    # Warm: every allocation of the call failed once, each failure raised MemoryError (none of
    # these calls has a fallback that absorbs one), and the call then gave its usual result.
    assert flags or report["memory_errors"] == report["completed_at"]
