"""What an installation of kelpa holds besides the module: its metadata,
the type stubs beside the module and the kelpa program."""

import os
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import kelpa

ROOT = Path(__file__).resolve().parent.parent
SITE = Path(kelpa.__file__).parent


def test_metadata_and_installed_files():
    with open(ROOT / "pyproject.toml", "rb") as handle:
        project = tomllib.load(handle)["project"]
    meta = metadata.metadata("kelpa")
    assert (meta["Version"], meta["Summary"], meta["Requires-Python"]) == (
        project["version"], project["description"], project["requires-python"])
    assert "MIT" in (meta["License"] or meta["License-Expression"] or "")
    assert "Typing :: Typed" in meta.get_all("Classifier")
    files = {str(f) for f in metadata.files("kelpa")}
    assert "kelpa-stubs/__init__.pyi" in files and not any("kelpa_cli" in f for f in files)
    for stubs in ("kelpa-stubs", "kelpa_arrays-stubs"):
        assert (SITE / stubs / "__init__.pyi").read_text() == (ROOT / stubs / "__init__.pyi").read_text()
    # Both modules load the one core library beside them; numpy comes with the distribution.
    assert "libkelpa_core.so" in files
    assert [r for r in meta.get_all("Requires-Dist") if "extra ==" not in r] == project["dependencies"] == ["numpy"]
    # The program is the wheel's script, not a console-script entry point.
    assert not [e for e in metadata.entry_points(group="console_scripts") if e.name == "kelpa"]
    program = Path(sys.executable).with_name("kelpa")
    assert program.read_bytes()[:4] == b"\x7fELF" and os.access(program, os.X_OK)
    assert any(f.endswith("/bin/kelpa") for f in files)
