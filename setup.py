"""pip installation of the Python module: `python3 -m pip install --no-build-isolation .`

The module is built by the project's CMake (library objects and bindings only) and installed with
its type stubs. Needs cmake, a C++17 compiler, OpenCV 4, pybind11 and NumPy (scripts/setup).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            "-DNATIVE64_BUILD_TESTS=OFF", "-DNATIVE64_BUILD_BENCH=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "native64_python",
                               "-j", str(os.cpu_count() or 1)])
        package = build / "python" / "package"
        built = next(package.glob("native64*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, target)
        shutil.copy2(ROOT / "python" / "native64.pyi", target.parent / "native64.pyi")


setup(
    name="native64",
    version="0.1.0",
    description="Dot-target detection, stereo calibration and tracking for stereo cameras",
    ext_modules=[Extension("native64", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    data_files=[],
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
