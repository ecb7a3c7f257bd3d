"""Builds verdane._verdane with CMake from the checkout this folder is in.

Install with (offline, Debian packages only; see docs/python.md):

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation ./python

VERDANE_CMAKE_BUILD_DIR names a CMake build folder to use (and keep) instead
of one under build/, so that repeated installs rebuild only what changed.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parent


def checkout_version() -> str:
    """The version of the C++ project, so that both always agree."""
    cmake = CHECKOUT / "CMakeLists.txt"
    if not cmake.is_file():
        sys.exit(f"verdane: {HERE} must be the python/ folder of a verdane checkout")
    match = re.search(r"project\(verdane VERSION ([0-9.]+)", cmake.read_text())
    if not match:
        sys.exit(f"verdane: no project version in {cmake}")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = Path(
            os.environ.get("VERDANE_CMAKE_BUILD_DIR") or Path(self.build_temp) / "cmake"
        ).resolve()
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(HERE), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={build_dir / 'out'}",
        ]
        if not (build_dir / "CMakeCache.txt").exists() and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_verdane"], check=True)
        built = build_dir / "out" / target.name
        if not built.is_file():
            sys.exit(f"verdane: CMake built no {built}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=checkout_version(),
    ext_modules=[Extension("verdane._verdane", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
