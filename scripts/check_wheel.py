"""Checks a repaired wheel against its manylinux policy, ELF file by ELF file.

    python scripts/check_wheel.py PLATFORM WHEEL     (e.g. manylinux_2_28_x86_64,
                                                     manylinux_2_28_aarch64)

auditwheel checks the extension modules and the libraries they load, but
not the wheel's scripts (the kelpa program). Here every ELF file in the
wheel, wherever it sits, must be built for PLATFORM's architecture and
need only:
  - libraries the policy allows (its lib_whitelist, as auditwheel ships it),
    the dynamic loader, or shared libraries of the wheel itself;
  - symbol versions the policy allows (GLIBC_2.28 at most, and so on).
It also runs `auditwheel show`, which must find the wheel consistent with
PLATFORM or a lower tag, and prints the libraries that auditwheel grafted
(kept in <name>.libs/), which must be among GRAFTED_ALLOWED.

Runs with the Python of the release tools (scripts/release.sh), where
auditwheel is installed; the ELF files are read with readelf.
"""

import json
import re
import subprocess
import sys
import tempfile
import zipfile
from importlib import resources
from pathlib import Path, PurePosixPath

# Libraries that may be grafted into the wheel. kelpa links what it needs
# statically, so none: a library that shows up here is a dependency that
# slipped in.
GRAFTED_ALLOWED: set[str] = set()

# Per architecture: the machine readelf names in the ELF header, and the
# dynamic loader, which every process has (libraries using thread-local
# storage name it for __tls_get_addr).
ARCHITECTURES = {
    "x86_64": ("Advanced Micro Devices X86-64", "ld-linux-x86-64.so.2"),
    "aarch64": ("AArch64", "ld-linux-aarch64.so.1"),
}


def split_platform(platform):
    """manylinux_2_28_aarch64 -> ((2, 28), "aarch64")."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_(x86_64|aarch64)", platform)
    if match is None:
        sys.exit(f"check_wheel: {platform} is not manylinux_X_Y_ARCH for an architecture of {sorted(ARCHITECTURES)}")
    return (int(match.group(1)), int(match.group(2))), match.group(3)


def policy_for(platform):
    with resources.files("auditwheel.policy").joinpath("manylinux-policy.json").open() as handle:
        policies = json.load(handle)
    _, architecture = split_platform(platform)
    name = platform.removesuffix(f"_{architecture}")
    for policy in policies:
        if policy["name"] == name or name in policy.get("aliases", []):
            return policy["lib_whitelist"], policy["symbol_versions"][architecture]
    sys.exit(f"check_wheel: no policy {name} in auditwheel's manylinux-policy.json")


def readelf(*args):
    return subprocess.run(["readelf", "--wide", *args], check=True, capture_output=True, text=True).stdout


def machine(path):
    match = re.search(r"Machine:\s+(.+)", readelf("--file-header", str(path)))
    return match.group(1).strip() if match else "unknown"


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("--dynamic", str(path)))


def version_needs(path):
    """(library, version name) pairs from the .gnu.version_r section."""
    pairs, library = [], None
    for line in readelf("--version-info", str(path)).splitlines():
        if match := re.search(r"File: (\S+)", line):
            library = match.group(1)
        elif library and (match := re.search(r"Name: (\S+)", line)):
            pairs.append((library, match.group(1)))
    return pairs


def auditwheel_tag(wheel):
    """The tag `auditwheel show` finds the wheel consistent with, or its complaint."""
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    match = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown.stdout)
    if shown.returncode != 0 or match is None:
        return None, (shown.stdout + shown.stderr).strip().splitlines()[-1:]
    return match.group(1), None


def glibc_of(tag):
    return split_platform(tag)[0]


def main(platform, wheel):
    wheel = Path(wheel)
    allowed_libraries, allowed_versions = policy_for(platform)
    architecture_machine, loader = ARCHITECTURES[split_platform(platform)[1]]
    failures = []
    if not wheel.name.endswith(f"-{platform}.whl"):
        failures.append(f"{wheel.name} is not tagged {platform}")
    tag, complaint = auditwheel_tag(wheel)
    if tag is None:
        failures.append(f"auditwheel show failed: {' '.join(complaint)}")
    elif glibc_of(tag) > glibc_of(platform):
        failures.append(f"auditwheel show: consistent with {tag} only, not {platform}")

    with tempfile.TemporaryDirectory() as folder, zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
        members = [PurePosixPath(info.filename) for info in archive.infolist() if not info.is_dir()]
        elf = [m for m in members if (Path(folder) / m).read_bytes()[:4] == b"\x7fELF"]
        own = {m.name for m in elf}
        grafted = sorted(m.name for m in members if m.parent.name.endswith(".libs"))
        for member in elf:
            path = Path(folder) / member
            if (found := machine(path)) != architecture_machine:
                failures.append(f"{member} is built for {found}, not for {architecture_machine}")
            libraries = needed(path)
            for library in libraries:
                if library not in allowed_libraries and library != loader and library not in own:
                    failures.append(f"{member} needs {library}, which {platform} does not allow")
            newest = {}
            for library, version in version_needs(path):
                family, _, number = version.partition("_")
                if library in own:
                    continue
                if number not in allowed_versions.get(family, []):
                    failures.append(f"{member} needs {version} (from {library}), beyond {platform}")
                if family == "GLIBC":
                    newest[family] = max(newest.get(family, (0,)), tuple(map(int, number.split("."))))
            glibc = ".".join(map(str, newest.get("GLIBC", ()))) or "none"
            print(f"check_wheel: {member}: needs {', '.join(libraries) or 'nothing'}; newest GLIBC {glibc}")
    for name in grafted:
        if not any(name.startswith(allowed.split(".so")[0] + "-") for allowed in GRAFTED_ALLOWED):
            failures.append(f"auditwheel grafted {name}, which kelpa should link statically")
    print(
        f"check_wheel: {wheel.name}: auditwheel show says {tag or 'nothing'}; grafted: {', '.join(grafted) or 'nothing'}; "
        f"{wheel.stat().st_size} bytes"
    )
    for failure in failures:
        print(f"check_wheel: FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: check_wheel.py PLATFORM WHEEL")
    sys.exit(main(*sys.argv[1:]))
