"""Sphinx configuration of kelpa's documentation (scripts/docs.sh builds it).

The pages are Markdown (MyST). The API reference is generated from the type
stubs, kelpa-stubs and kelpa_arrays-stubs, not from the modules: the stubs
carry the documentation of every type, method and argument, and stubtest
holds them to the modules. They are copied under build/ as the packages
kelpa and kelpa_arrays, which is what the reference names them.
"""

import shutil
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "build" / "docs-stubs"
shutil.rmtree(STUBS, ignore_errors=True)
for module in ("kelpa", "kelpa_arrays"):
    (STUBS / module).mkdir(parents=True)
    shutil.copy(ROOT / f"{module}-stubs" / "__init__.pyi", STUBS / module / "__init__.pyi")

project = "kelpa"
author = "The kelpa developers"
copyright = "The kelpa developers"
release = version = "0.1.0"

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "conftest.py"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

autoapi_type = "python"
autoapi_dirs = [str(STUBS)]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-module-summary", "special-members", "imported-members"]
autodoc_typehints = "signature"
suppress_warnings = ["myst.header"]

# Names the stubs take from typing, collections.abc and numpy: there is no
# network to link them to their own documentation through.
nitpick_ignore_regex = [
    ("py:.*", r"(typing|collections\.abc|numpy|numpy\.typing|npt|np)\..*"),
    (
        "py:.*",
        r"(Self|NoReturn|SupportsIndex|Literal|ClassVar|Any|TypeAlias|object|bool|int|float|str|bytes|bytearray|list|tuple|slice|None)",
    ),
    ("py:.*", r"_[A-Z][A-Za-z]*"),
]

html_theme = "alabaster"
html_title = "kelpa"
html_static_path = []

man_pages = [("cli", "kelpa", "fast random access to regions of FASTA files", [author], 1)]
