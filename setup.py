# -*- coding: utf-8 -*-
"""Builds and installs quillane_native for the interpreter that runs this script.

The sources are listed once, in the project's CMake build: this script drives that build for
this one interpreter (QN_PYTHON_ONLY, release flags, no tests) and installs the module it makes
as the top-level module quillane_native; under Python 3 the type stubs go with it. Nothing is
downloaded, so it works offline and without build isolation:

    python3 -m venv env && env/bin/pip install --no-build-isolation .
    python2.7 -m pip install .

Runs under Python 2.7 (setuptools 41 and later) and Python 3.
"""
from __future__ import print_function

import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

try:
    from setuptools.command.build import build
except ImportError:  # setuptools before 62
    from distutils.command.build import build

HERE = os.path.dirname(os.path.abspath(__file__))
MAJOR = sys.version_info[0]
CMAKE_MINIMUM = (3, 18)
STUB = os.path.join(HERE, "native", "quillane_native.pyi")
# Mypy reads the stubs of a module that is not a package only from a stub package of this name.
STUB_PACKAGE = "quillane_native-stubs"


def which(name):
    """The full path of the program name on PATH, or None."""
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder, name)
        if folder and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def output_of(command):
    """The standard output of command, or None when it cannot run or fails."""
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, _ = process.communicate()
    except OSError:
        return None
    return out.decode("utf-8", "replace") if process.returncode == 0 else None


def cmake_version(cmake):
    match = re.search(r"version (\d+)\.(\d+)", output_of([cmake, "--version"]) or "")
    return (int(match.group(1)), int(match.group(2))) if match else (0, 0)


def compiler_present(variable, names):
    """Whether the compiler that CMake would pick is there: $variable, else one of names."""
    chosen = os.environ.get(variable, "").split()
    if chosen:
        return bool(os.path.isabs(chosen[0]) and os.path.exists(chosen[0]) or which(chosen[0]))
    return any(which(n) for n in names)


def debian_python():
    return MAJOR >= 3 and os.path.realpath(sys.executable).startswith("/usr/bin/")


def python_headers_package():
    return "python3-dev" if debian_python() else "the development headers of %s" % sys.executable


def missing_dependencies():
    """(what is missing, the Debian package that brings it) for every build dependency absent."""
    missing = []
    cmake = which("cmake")
    if not cmake:
        missing.append(("CMake", "cmake"))
    elif cmake_version(cmake) < CMAKE_MINIMUM:
        missing.append(("CMake %d.%d or later" % CMAKE_MINIMUM, "cmake"))
    generator = os.environ.get("CMAKE_GENERATOR", "")
    tools_present = (compiler_present("CC", ("cc", "gcc", "clang"))
                     and compiler_present("CXX", ("c++", "g++", "clang++"))
                     and (generator or which("make")))
    if not tools_present:
        missing.append(("a C and C++ compiler and make", "build-essential"))
    pkg_config = which("pkg-config")
    if not pkg_config:
        missing.append(("pkg-config", "pkg-config"))
    if pkg_config and output_of([pkg_config, "--exists", "libsodium"]) is None:
        missing.append(("libsodium's headers (pkg-config finds no libsodium)", "libsodium-dev"))
    headers = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(headers, "Python.h")):
        missing.append(("Python.h of this interpreter (not in %s)" % headers,
                        python_headers_package()))
    return missing


def check_dependencies():
    missing = missing_dependencies()
    if not missing:
        return
    lines = ["error: quillane_native cannot be built here; missing:"]
    lines += ["  %s: install %s" % (what, package) for what, package in missing]
    packages = sorted(set(package for _, package in missing if " " not in package))
    if packages:
        lines.append("On Debian: sudo apt-get install " + " ".join(packages))
    raise SystemExit("\n".join(lines))


def run(command):
    print(" ".join(command))
    sys.stdout.flush()
    if subprocess.call(command) != 0:
        raise SystemExit("error: '%s' failed (see its output above)" % " ".join(command))


class BuildInOwnFolder(build):
    """Keeps setuptools' work in build-pip/: build/ belongs to the project's make targets."""

    def initialize_options(self):
        build.initialize_options(self)
        self.build_base = "build-pip"


class BuildWithCMake(build_ext):
    """Builds the module with the project's CMake build, for this interpreter alone."""

    def run(self):
        check_dependencies()
        build_ext.run(self)

    def build_extension(self, ext):
        cmake_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or multiprocessing.cpu_count()
        parallel = getattr(self, "parallel", None)  # build_ext -j, from Python 3.5 on
        if isinstance(parallel, int) and parallel > 1:
            jobs = parallel
        run(["cmake", "-S", HERE, "-B", cmake_dir, "-DCMAKE_BUILD_TYPE=Release",
             "-DQN_PYTHON_ONLY=%d" % MAJOR, "-DQN_PYTHON%d=%s" % (MAJOR, sys.executable)])
        run(["cmake", "--build", cmake_dir, "--target", "quillane_native_py%d" % MAJOR,
             "-j", str(jobs)])
        target = self.get_ext_fullpath(ext.name)
        self.copy_into_place(os.path.join(cmake_dir, "python%d" % MAJOR, "quillane_native.so"),
                             target)
        for stub in self.stub_outputs():
            self.copy_into_place(STUB, stub)

    def copy_into_place(self, source, target):
        folder = os.path.dirname(target)
        if folder and not os.path.isdir(folder):
            os.makedirs(folder)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)

    def stub_outputs(self):
        """Where the stubs go: beside the module, and as the stub package. Python 3 only."""
        if MAJOR < 3:
            return []
        folder = os.path.dirname(self.get_ext_fullpath("quillane_native"))
        return [os.path.join(folder, "quillane_native.pyi"),
                os.path.join(folder, STUB_PACKAGE, "__init__.pyi")]

    def get_outputs(self):
        # Listed, so that an installation records them and uninstalling removes them.
        return build_ext.get_outputs(self) + self.stub_outputs()


class WheelPackageMissing(Command):
    """Stands in for bdist_wheel where the wheel package is absent; pip 23.1 and later build
    every project through it, and would otherwise only report an unknown command."""

    description = "report that the wheel package is missing"
    user_options = [("dist-dir=", "d", "where wheels would go")]

    def initialize_options(self):
        self.dist_dir = None

    def run(self):
        pass

    def finalize_options(self):
        remedy = "install it for this interpreter"
        if debian_python():
            remedy = ("install python3-wheel (a virtual environment sees it when made with "
                      "--system-site-packages)")
        raise SystemExit("error: building a wheel needs the wheel package, which %s lacks: %s"
                         % (sys.executable, remedy))


def commands():
    found = {"build": BuildInOwnFolder, "build_ext": BuildWithCMake}
    try:
        import wheel  # noqa: F401
    except ImportError:
        found["bdist_wheel"] = WheelPackageMissing
    return found


setup(
    name="quillane_native",
    version="0.1.0",
    description="Cryptography over libsodium, uTP streams over application-owned UDP sockets, "
                "elevation and firewall control",
    ext_modules=[Extension("quillane_native", sources=[])],
    cmdclass=commands(),
    zip_safe=False,
)
