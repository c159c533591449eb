"""The Python package elutrix. Its compiled module is built by the project's
own CMake files over the same core as elutrix-generate, with the same
compiler flags, so that both give the same numbers bit for bit:

    /usr/bin/python3 -m pip install --no-build-isolation ./python

builds the core with its module (Release) in setuptools' build folder.
With ELUTRIX_BUILD_DIR naming a configured build folder of the project,
the module is built (or found up to date) there instead.
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
ROOT = HERE.parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(Elutrix VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds the CMake target _elutrix and puts it into the package."""

    def build_extension(self, ext):
        given = os.environ.get("ELUTRIX_BUILD_DIR")
        build = Path(given).resolve() if given else Path(self.build_temp).resolve() / "cmake"
        if not given:
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            "-DELUTRIX_BUILD_UI=OFF", "-DELUTRIX_BUILD_TESTS=OFF", "-DELUTRIX_BUILD_BENCH=OFF",
                            "-DELUTRIX_BUILD_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "_elutrix", "--parallel", jobs], check=True)
        built = Path((build / "python" / "module_path.txt").read_text().strip())
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="elutrix",
    version=project_version(),
    description="Synthetic chromatograms with their ground truth, for testing peak integrators",
    packages=["elutrix"],
    # The type stubs and the mark that the package carries its types (PEP 561).
    package_data={"elutrix": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("elutrix._elutrix", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    # elutrix-score also needs scipy, and matplotlib for its report.
    entry_points={"console_scripts": ["elutrix-score = elutrix.scoring:main"]},
    zip_safe=False,
)
