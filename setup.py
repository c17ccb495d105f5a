"""Builds the PySylvor_wrap extension with CMake and installs it with the
sylvor package.

    python3 -m venv --system-site-packages ENV
    ENV/bin/pip install --no-build-isolation .

The extension and the program are built by the project's own CMakeLists.txt
(its one list of sources and compiler flags), for the interpreter that runs
this script, without the tests or the benchmarks; the program is installed
inside the package and run by the `sylvor` command. Uses Debian's cmake,
setuptools, pybind11, numpy and scikit-learn; downloads nothing.
"""
import glob
import os
import shutil
import subprocess
import sys

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
            "-DSYLVOR_BUILD_PROGRAM=ON", "-DSYLVOR_BUILD_TESTS=OFF", "-DSYLVOR_BUILD_BENCH=OFF",
            "-DPython_EXECUTABLE=" + sys.executable, "-Dpybind11_DIR=" + pybind11.get_cmake_dir(),
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", ext.name, "sylvor",
                               "--parallel", str(os.cpu_count() or 1)])
        built = glob.glob(os.path.join(build_dir, "python", ext.name + "*.so"))
        if len(built) != 1:
            raise RuntimeError("CMake built %d modules named %s in %s" % (len(built), ext.name, build_dir))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)
        self.copy_program(os.path.join(build_dir, "sylvor"))

    def copy_program(self, program):
        # Beside the package's modules, where sylvor._program runs it from
        # (in the source tree too for in-place builds).
        package_dir = os.path.join(ROOT, "python", "sylvor") if self.inplace else os.path.join(self.build_lib, "sylvor")
        target = os.path.join(package_dir, "_bin", "sylvor")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(program, target)
        os.chmod(target, 0o755)


setup(
    name="sylvor",
    version="1.1",
    description="Random forests of decision trees for tabular data",
    package_dir={"": "python"},
    packages=["sylvor"],
    ext_modules=[CMakeExtension("PySylvor_wrap")],
    cmdclass={"build_ext": CMakeBuild},
    entry_points={"console_scripts": ["sylvor = sylvor._program:main"]},
    install_requires=["numpy", "scikit-learn"],
    python_requires=">=3.9",
)
