"""What an installation of kelpa holds besides the module: the type stubs
beside the module and the kelpa program; and what the wheel holds, when CI
tests the installed wheel (KELPA_WHEEL names it)."""

import os
import subprocess
import sysconfig
import zipfile
from importlib import metadata
from pathlib import Path, PurePosixPath

import pytest

import kelpa
from conftest import PROGRAM

ROOT = Path(__file__).resolve().parent.parent
SITE = Path(kelpa.__file__).parent
WHEEL = os.environ.get("KELPA_WHEEL")


def test_installed_files():
    # What a user of the installed package finds: the type stubs beside the
    # module (as in the tree), the core and binding libraries both modules load, the
    # program as a native executable in the environment's bin/, and numpy
    # brought along.
    files = {str(f) for f in metadata.files("kelpa")}
    for stubs in ("kelpa-stubs", "kelpa_arrays-stubs"):
        assert (SITE / stubs / "__init__.pyi").read_text() == (ROOT / stubs / "__init__.pyi").read_text()
    assert {"libkelpa_core.so", "libkelpa_binding.so"} <= files
    assert any(r.startswith("numpy") for r in metadata.requires("kelpa"))
    program = Path(PROGRAM)
    assert program.read_bytes()[:4] == b"\x7fELF" and os.access(program, os.X_OK)
    assert any(f.endswith("/bin/kelpa") for f in files)


def dynamic_symbols(path):
    """The symbols a shared object defines for others to link, demangled."""
    done = subprocess.run(["nm", "-D", "--defined-only", "-C", str(path)], capture_output=True, text=True, check=True)
    return {line.split(" ", 2)[2] for line in done.stdout.splitlines() if line.count(" ") >= 2}


def test_one_binding_per_process():
    # Each module exports its PyInit_ function alone; what both use of the
    # Python/C API (the internal-fault type, the lock hooks) lives once, in
    # the binding library they both load.
    import kelpa_arrays

    for module, name in ((kelpa, "PyInit_kelpa"), (kelpa_arrays, "PyInit_kelpa_arrays")):
        assert dynamic_symbols(module.__file__) == {name}
    binding = dynamic_symbols(SITE / "libkelpa_binding.so")
    assert {
        "kelpa_take_lock_back",
        "kelpa::py::internal_fault_type()",
        "kelpa::py::install_network_wait_hooks()",
    } <= binding
    # The core library exports the core (and the templates made of its types),
    # not the libraries linked into it.
    assert all("kelpa" in symbol for symbol in dynamic_symbols(SITE / "libkelpa_core.so"))


@pytest.mark.skipif(
    os.environ.get("KELPA_EXPECT_INSTALLED") != "1",
    reason="CI sets KELPA_EXPECT_INSTALLED=1 where it tests an installed wheel or sdist",
)
def test_the_module_is_the_installed_one():
    # The suite runs from outside the source tree, so nothing there can stand
    # in for the installed module.
    module = Path(kelpa.__file__).resolve()
    assert module.parent == Path(sysconfig.get_path("platlib")).resolve()
    here = Path.cwd().resolve()
    assert ROOT not in module.parents and ROOT != here and ROOT not in here.parents


@pytest.mark.skipif(WHEEL is None, reason="CI names the installed wheel in KELPA_WHEEL")
def test_the_wheel_holds_module_program_stubs_and_license_only():
    with zipfile.ZipFile(WHEEL) as archive:
        members = {PurePosixPath(i.filename): archive.read(i) for i in archive.infolist() if not i.is_dir()}
    version = metadata.version("kelpa")
    data, info = f"kelpa-{version}.data", f"kelpa-{version}.dist-info"
    module = PurePosixPath("kelpa" + sysconfig.get_config_var("EXT_SUFFIX"))
    program = PurePosixPath(data, "scripts", "kelpa")
    assert members[module][:4] == b"\x7fELF"
    assert members[PurePosixPath("kelpa-stubs/__init__.pyi")] == (ROOT / "kelpa-stubs/__init__.pyi").read_bytes()
    assert members[PurePosixPath(info, "licenses/LICENSE")] == (ROOT / "LICENSE").read_bytes()
    # The program in bin/ is the wheel's, and it runs.
    assert members[program] == Path(PROGRAM).read_bytes()
    done = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True, check=True)
    assert done.stdout.startswith(f"kelpa {version}\n")
    # Nothing of the source tree's tests or benchmarks: no member is named
    # as a file there, and no member sits in a folder of that name.
    theirs = {p.name for folder in ("tests", "bench") for p in (ROOT / folder).rglob("*") if p.is_file()}
    assert not [m for m in members if m.name in theirs or {"tests", "bench"} & set(m.parts)]
    # Extension modules and shared libraries at the root or in auditwheel's
    # kelpa.libs, the stubs, the wheel's metadata and the program.
    for member in members:
        top = member.parts[0]
        assert (
            member.suffix == ".so"
            or ".so." in member.name
            or top.endswith("-stubs")
            or top == info
            or member.parent == program.parent
        ), member
