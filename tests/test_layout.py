"""The layout of the source tree: the core's rooms and floors, and what each
front end may include. A room includes only from its own floor and those
below it; the core includes nothing of the front ends."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)

# What each part outside the core may include, besides the core and itself.
FRONT_ENDS = {
    "frontend": set(),
    "binding": {"frontend"},
    "python": {"binding", "frontend"},
    "arrays": {"binding"},
    "cli": {"frontend"},
}


def floors():
    """The core's rooms, lowest floor first, as the build lists them."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"set\(KELPA_CORE_ROOMS ([^)]*)\)", text).group(1).split()


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".hpp", ".cpp", ".c", ".h"})


def test_every_include_goes_down_a_floor_or_stays():
    rooms = floors()
    problems = []
    for path in sources():
        part = path.relative_to(SRC).parts
        for name in INCLUDE.findall(path.read_text()):
            target = name.split("/")
            assert (SRC / name).exists(), f"{path.relative_to(ROOT)}: includes {name}, which is not a path from src/"
            if part[0] == "core":
                if target[0] != "core":
                    problems.append(f"{path.relative_to(SRC)} includes {name}: the core includes no front end")
                elif rooms.index(target[1]) > rooms.index(part[1]):
                    problems.append(f"{path.relative_to(SRC)} includes {name}: up from {part[1]} to {target[1]}")
            elif target[0] not in {"core", part[0]} | FRONT_ENDS[part[0]]:
                problems.append(f"{path.relative_to(SRC)} includes {name}: {part[0]} may not reach {target[0]}")
    assert problems == []


def test_the_core_is_its_rooms_and_no_file_is_long():
    rooms = floors()
    assert sorted(p.name for p in (SRC / "core").iterdir() if p.is_dir()) == sorted(rooms)
    assert sorted(p.name for p in SRC.iterdir()) == sorted({"core", *FRONT_ENDS})
    long = [f"{p.relative_to(SRC)}: {n} lines" for p in sources() if (n := len(p.read_text().splitlines())) > 800]
    assert long == []
