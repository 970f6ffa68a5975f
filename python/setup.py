"""Builds traderhvr's compiled parts with the project's CMake build.

pyproject.toml holds the package's metadata; this file adds the one build
step setuptools cannot do alone: CMake compiles the extension
traderhvr._core and the trader module libTraderHVR.so from the checkout this
folder belongs to, and both are copied into the package, so an installed
traderhvr needs neither the build tree nor PYTHONPATH.

It also copies the project's docs/log-lines.md into the package, where
traderhvr.loglines reads the meaning of the module's log lines.

Everything the build writes goes under one folder outside this one,
build-wheel/ at the top of the checkout (or $HVR_WHEEL_BUILD_DIR): the CMake
build, setuptools' build folder and its egg-info, so a build leaves the
source tree as it was; a second build reuses it. The interpreter running
this build is the one the extension is compiled for.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parent
MODULE_FILE = "libTraderHVR.so"
LOG_LINES = CHECKOUT / "docs" / "log-lines.md"
BUILD_DIR = Path(os.environ.get("HVR_WHEEL_BUILD_DIR", CHECKOUT / "build-wheel")).resolve()
SETUPTOOLS_DIR = BUILD_DIR / "setuptools"  # egg-info and setuptools' build folder


class CMakeExtension(Extension):
    """An extension whose sources CMake knows; setuptools compiles nothing."""

    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = BUILD_DIR
        jobs = os.environ.get("JOBS", "2")
        subprocess.run(
            [
                "cmake", "-S", str(CHECKOUT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DHVR_BUILD_TESTS=OFF",
                "-DHVR_BUILD_TOOLS=OFF",
                f"-DPython3_EXECUTABLE={sys.executable}",
            ],
            check=True,
        )
        subprocess.run(
            ["cmake", "--build", str(build_dir), "-j", jobs, "--target", "traderhvr_core", "TraderHVR"], check=True
        )
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        (core,) = (build_dir / "python" / "traderhvr").glob("_core.*.so")
        shutil.copyfile(core, target)
        # The real file, not the build tree's symbolic links to it.
        shutil.copyfile((build_dir / MODULE_FILE).resolve(), target.parent / MODULE_FILE)
        shutil.copyfile(LOG_LINES, target.parent / LOG_LINES.name)


SETUPTOOLS_DIR.mkdir(parents=True, exist_ok=True)
setup(
    ext_modules=[CMakeExtension("traderhvr._core")],
    cmdclass={"build_ext": CMakeBuild},
    options={"egg_info": {"egg_base": str(SETUPTOOLS_DIR)}, "build": {"build_base": str(SETUPTOOLS_DIR / "build")}},
)
