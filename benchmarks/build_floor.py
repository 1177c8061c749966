"""Build the native floor kernels (benchmarks/floor/floor.cpp) as a throwaway extension module.

The module is compiled with the same compiler and flags as quorbel's release build (-O3 -DNDEBUG
-std=c++20 -fPIC, hidden visibility) against the running interpreter's headers, into
benchmarks/build/ (QUORBEL_BENCH_BUILD_DIR moves it). It is never installed and is no part of
quorbel.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "floor" / "floor.cpp"
BUILD_DIR = Path(os.environ.get("QUORBEL_BENCH_BUILD_DIR") or HERE / "build")
MODULE = "_quorbel_floor"
FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-fvisibility=hidden",
         "-fvisibility-inlines-hidden", "-Wall", "-Wextra",
         "-Wno-cast-function-type", "-Wno-missing-field-initializers"]


def compiler() -> str:
    for candidate in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if candidate and shutil.which(candidate):
            return candidate
    raise SystemExit("build_floor: no C++ compiler found (set CXX)")


def build(force: bool = False) -> Path:
    """Compile the floor module if its source is newer than the built file; return its path."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = BUILD_DIR / f"{MODULE}{suffix}"
    if not force and target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    BUILD_DIR.mkdir(exist_ok=True)
    command = [compiler(), *FLAGS, f"-I{sysconfig.get_path('include')}", "-shared",
               str(SOURCE), "-o", str(target)]
    subprocess.run(command, check=True)
    return target


COUNTER_SOURCE = HERE / "floor" / "malloc_count.c"


def build_counter() -> Path:
    """Compile the allocation counter that the memory checks preload into their children."""
    target = BUILD_DIR / "libquorbel_malloc_count.so"
    if target.exists() and target.stat().st_mtime >= COUNTER_SOURCE.stat().st_mtime:
        return target
    BUILD_DIR.mkdir(exist_ok=True)
    c_compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or "gcc"
    subprocess.run([c_compiler, "-O2", "-fPIC", "-shared", str(COUNTER_SOURCE), "-o", str(target)],
                   check=True)
    return target


def load():
    """Build if needed and import the floor module."""
    build()
    if str(BUILD_DIR) not in sys.path:
        sys.path.insert(0, str(BUILD_DIR))
    import _quorbel_floor  # noqa: PLC0415

    return _quorbel_floor


if __name__ == "__main__":
    print(build(force="--force" in sys.argv))
