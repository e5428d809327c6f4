"""Installs the module with pip as a user would and checks the installed copy.

Each leg starts from a fresh copy of the source tree (build outputs left out, as in a fresh
clone) and from an empty install location, and installs with --no-index: nothing may be
downloaded. Legs (one CTest test each):

  py3          fresh venv of the Python 3 interpreter, pip install; the crypto tests run against
               the installed copy; then pip wheel (when the wheel package is there) and a look
               at the wheel
  py3-mypy     mypy checks the typed examples against the stubs installed in that venv
               (exit 77, "skipped", when mypy is not installed)
  py3-uninstall  pip uninstall leaves nothing of the module behind in that venv
  py2          pip install --target into a fresh folder; the crypto tests against that copy
  missing-deps setup.py names the Debian package of each missing build dependency

Run by Python 3: install_legs.py LEG --source TREE --work FOLDER [--python EXE]...
"""

import argparse
import filecmp
import fnmatch
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
STUB = os.path.join("native", "quillane_native.pyi")
STUB_PACKAGE = "quillane_native-stubs"
INIT = {2: "initquillane_native", 3: "PyInit_quillane_native"}

# Runs inside the interpreter under test: imports the module, proves it comes from the install
# location given as argv[1], then runs the named test modules (argv[2:]) in the same process.
PROBE = """
import os, sys, unittest
import quillane_native
where = os.path.realpath(quillane_native.__file__)
print("quillane_native imported from " + where)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("not the installed copy: expected a file under " + sys.argv[1])
unittest.main(module=None, argv=["installed"] + sys.argv[2:], verbosity=2)
"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def clean_env(**extra):
    """The caller's environment without anything that points Python or pip elsewhere."""
    env = dict((k, v) for k, v in os.environ.items()
               if not k.startswith("PIP_")
               and k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_PRELOAD"))
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
               PYTHONNOUSERSITE="1")
    env.update(extra)
    return env


def run(command, env=None, cwd=None, expect_ok=True):
    """Runs command with its output shown; returns (exit code, output)."""
    print("$ " + " ".join("'<probe>'" if "\n" in c else c for c in command), flush=True)
    start = time.monotonic()
    process = subprocess.run(command, env=env or clean_env(), cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
    print(process.stdout + "(%.1f s)" % (time.monotonic() - start), flush=True)
    if expect_ok:
        check(process.returncode == 0, "exit code %d: %s" % (process.returncode, command[0]))
    return process.returncode, process.stdout


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def fresh_source(source, dest):
    """A copy of the source tree as a fresh clone has it: no build outputs, no repository."""
    def ignore(folder, names):
        skipped = set(fnmatch.filter(names, "__pycache__") + fnmatch.filter(names, "*.pyc"))
        if os.path.samefile(folder, source):
            for pattern in ("build", "build-*", ".git", "dist", "*.egg-info"):
                skipped.update(fnmatch.filter(names, pattern))
        return skipped
    shutil.copytree(source, dest, ignore=ignore)
    return dest


def interpreter_paths(python):
    """(major version, platlib folder) of an interpreter."""
    code = ("import sys, sysconfig; print(sys.version_info[0]); "
            "print(sysconfig.get_paths()['platlib'])")
    out = subprocess.check_output([python, "-c", code], env=clean_env(), universal_newlines=True)
    major, platlib = out.split("\n")[:2]
    return int(major), platlib


def has_module(python, name):
    return subprocess.call([python, "-c", "import " + name], env=clean_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0


def check_binary(path, major):
    """Only the initialisation function exported; a release build (no debug information)."""
    _, symbols = run(["nm", "-D", "--defined-only", path])
    exported = set(line.split()[-1] for line in symbols.splitlines() if line.strip())
    check(exported == {INIT[major]},
          "exports %s, expected only %s" % (sorted(exported), INIT[major]))
    _, sections = run(["readelf", "-S", "-W", path])
    check(".debug_info" not in sections, "debug information in a release build: " + path)


def installed_module(folder):
    found = [n for n in os.listdir(folder) if re.match(r"quillane_native(\..*)?\.so$", n)]
    check(len(found) == 1, "expected one quillane_native module in %s, found %s" % (folder, found))
    return os.path.join(folder, found[0])


def check_stubs(folder, source):
    for stub in ("quillane_native.pyi", os.path.join(STUB_PACKAGE, "__init__.pyi")):
        path = os.path.join(folder, stub)
        check(os.path.isfile(path), "stub not installed: " + path)
        check(filecmp.cmp(path, os.path.join(source, STUB), shallow=False),
              "installed stub differs from the source: " + path)


def run_tests_against(python, location, source, tests, env):
    """The named tests of tests/native, run by python against the copy installed in location."""
    run([python, "-c", PROBE, location] + tests, env=env,
        cwd=os.path.join(source, "tests", "native"))


# ---- the legs ----

def leg_py3(args):
    python = args.python[0]
    work = fresh_folder(os.path.join(args.work, "py3"))
    source = fresh_source(args.source, os.path.join(work, "src"))
    venv = os.path.join(work, "venv")
    run([python, "-m", "venv", venv])
    venv_python = os.path.join(venv, "bin", "python")
    run([venv_python, "-m", "pip", "--version"])
    run([venv_python, "-m", "pip", "install", "--no-build-isolation", "--no-index", source])
    major, platlib = interpreter_paths(venv_python)
    module = installed_module(platlib)
    check_binary(module, major)
    check_stubs(platlib, source)
    run_tests_against(venv_python, platlib, source, ["test_crypto"], clean_env())
    wheel_of(python, source, work)


def wheel_of(python, source, work):
    """pip wheel, where the wheel package is installed: a platform wheel with the stubs."""
    if not has_module(python, "wheel"):
        print("pip wheel not tried: the wheel package is not installed for %s "
              "(Debian: python3-wheel)" % python)
        return
    wheels = fresh_folder(os.path.join(work, "wheels"))
    run([python, "-m", "pip", "wheel", "--no-build-isolation", "--no-index", "--no-deps",
         "-w", wheels, source])
    built = os.listdir(wheels)
    check(len(built) == 1 and built[0].endswith(".whl"), "expected one wheel, found %s" % built)
    check(re.search(r"-cp3\d+-cp3\d+m?-linux_\w+\.whl$", built[0]),
          "not a platform wheel for this interpreter: " + built[0])
    with zipfile.ZipFile(os.path.join(wheels, built[0])) as archive:
        names = archive.namelist()
        meta = [n for n in names if n.split("/")[0].endswith(".dist-info")]
        wheel_info = archive.read([n for n in meta if n.endswith("/WHEEL")][0]).decode()
    check("Root-Is-Purelib: false" in wheel_info, "the wheel claims to be pure Python")
    content = sorted(set(names) - set(meta))
    expected = ["quillane_native-stubs/__init__.pyi", "quillane_native.pyi"]
    modules = [n for n in content if re.match(r"quillane_native\.cpython-3\d+.*\.so$", n)]
    check(len(modules) == 1 and sorted(set(content) - set(modules)) == expected,
          "wheel content %s; expected the module and %s" % (content, expected))


def leg_py3_mypy(args):
    mypy = shutil.which("mypy")
    if not mypy:
        print("SKIPPED: mypy is not installed, so the stubs are not type-checked "
              "(Debian package mypy; scripts/install-deps.sh installs it)")
        return SKIP
    venv_python = os.path.join(args.work, "py3", "venv", "bin", "python")
    examples = [os.path.join(HERE, "typed_ok.py"), os.path.join(HERE, "typed_bad.py")]
    code, out = run([mypy, "--strict", "--python-executable", venv_python, "--cache-dir",
                     os.path.join(args.work, "mypy-cache")] + examples,
                    env=clean_env(MYPYPATH=""), expect_ok=False)
    found = {}
    for name, line in re.findall(r"^(\S+?\.py):(\d+): error:", out, re.M):
        found.setdefault(os.path.basename(name), set()).add(int(line))
    check(not found.get("typed_ok.py"), "mypy rejects the correct example (lines %s)"
          % sorted(found.get("typed_ok.py", ())))
    with open(examples[1]) as f:
        expected = set(i + 1 for i, line in enumerate(f) if line.rstrip().endswith("# error"))
    check(found.get("typed_bad.py", set()) == expected,
          "mypy flags lines %s of typed_bad.py, expected %s"
          % (sorted(found.get("typed_bad.py", ())), sorted(expected)))
    check(code == 1, "mypy exit code %d, expected 1 (errors in typed_bad.py only)" % code)


def leg_py3_uninstall(args):
    venv_python = os.path.join(args.work, "py3", "venv", "bin", "python")
    _, platlib = interpreter_paths(venv_python)
    run([venv_python, "-m", "pip", "uninstall", "-y", "quillane_native"])
    left = [n for n in os.listdir(platlib) if n.startswith("quillane_native")]
    check(not left, "left behind after uninstalling: %s" % left)


def leg_py2(args):
    python = args.python[0]
    work = fresh_folder(os.path.join(args.work, "py2"))
    source = fresh_source(args.source, os.path.join(work, "src"))
    target = os.path.join(work, "target")
    run([python, "-m", "pip", "--version"])
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--target",
         target, source])
    check_binary(installed_module(target), 2)
    run_tests_against(python, target, source, ["test_crypto"], clean_env(PYTHONPATH=target))


def leg_missing_deps(args):
    """Each case hides some dependencies; setup.py must name exactly their packages, early."""
    work = fresh_folder(os.path.join(args.work, "missing-deps"))
    source = fresh_source(args.source, os.path.join(work, "src"))
    no_tools = fresh_folder(os.path.join(work, "empty-bin"))
    no_pc = fresh_folder(os.path.join(work, "empty-pkgconfig"))
    cases = [
        ("no tools on PATH", dict(PATH=no_tools), ["build-essential", "cmake", "pkg-config"]),
        ("no libsodium.pc", dict(PKG_CONFIG_LIBDIR=no_pc, PKG_CONFIG_PATH=""), ["libsodium-dev"]),
    ]
    for python in args.python:
        for title, env, packages in cases:
            print("---- %s, %s" % (python, title))
            code, out = run([python, "setup.py", "build_ext"], env=clean_env(**env),
                            cwd=source, expect_ok=False)
            check(code != 0, "setup.py succeeded without " + title)
            named = re.findall(r"^  .*: install (\S+)$", out, re.M)
            check(sorted(named) == packages, "named %s, expected %s" % (named, packages))
            check("sudo apt-get install " + " ".join(packages) in out, "no apt-get line")
            check(not os.path.exists(os.path.join(source, "build-pip")),
                  "setup.py started building before reporting what is missing")
        if not has_module(python, "wheel"):
            print("---- %s, no wheel package" % python)
            code, out = run([python, "setup.py", "bdist_wheel"], cwd=source, expect_ok=False)
            check(code != 0 and "needs the wheel package" in out,
                  "bdist_wheel without the wheel package is not reported as such")


LEGS = {"py3": leg_py3, "py3-mypy": leg_py3_mypy, "py3-uninstall": leg_py3_uninstall,
        "py2": leg_py2, "missing-deps": leg_missing_deps}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("leg", choices=sorted(LEGS))
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--python", action="append", default=[])
    args = parser.parse_args()
    try:
        return LEGS[args.leg](args) or 0
    except Failure as e:
        print("FAILED: %s" % e, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
