"""Builds the PySylvor_wrap extension and installs it with the sylvor package.

    python3 -m venv --system-site-packages ENV
    ENV/bin/pip install --no-build-isolation .

Uses Debian's setuptools, pybind11, numpy and scikit-learn; downloads nothing.
"""
import glob
import os

import pybind11
from setuptools import Extension, setup

ROOT = os.path.dirname(os.path.abspath(__file__))
os.chdir(ROOT)

# The library's non-generic code, and the module.
sources = sorted(glob.glob("Sylvor/**/*.cpp", recursive=True)) + ["python/PySylvor/PySylvor_wrap.cpp"]

extension = Extension(
    "PySylvor_wrap",
    sources=sources,
    include_dirs=[".", pybind11.get_include()],
    language="c++",
    # No contraction into fused multiply-adds: forests stay bit-identical
    # with those of the sylvor program.
    extra_compile_args=["-std=c++17", "-O2", "-fopenmp", "-ffp-contract=off", "-fvisibility=hidden"],
    extra_link_args=["-fopenmp"],
)

setup(
    name="sylvor",
    version="1.1",
    description="Random forests of decision trees for tabular data",
    package_dir={"": "python"},
    packages=["sylvor"],
    ext_modules=[extension],
    install_requires=["numpy", "scikit-learn"],
    python_requires=">=3.9",
)
