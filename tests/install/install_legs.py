"""Installs the module with pip (--no-index: nothing is downloaded) as a user would, from a copy
of the source tree as a fresh clone has it, and checks the installed copy; one leg per CTest test.
Run by Python 3: install_legs.py LEG --source TREE --work FOLDER [--python EXE]..."""

import argparse
import fnmatch
import glob
import os
import re
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
INIT = {2: "initquillane_native", 3: "PyInit_quillane_native"}

# Runs inside the interpreter under test: imports the module, proves it comes from the install
# location given as argv[1], then runs the named test modules (argv[2:]) in the same process.
# test_stub reads the stubs beside the module, so it checks the installed ones.
PROBE = """
import os, sys, unittest
import quillane_native
where = os.path.realpath(quillane_native.__file__)
print("quillane_native imported from " + where)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("not the installed copy: expected a file under " + sys.argv[1])
unittest.main(module=None, argv=["installed"] + sys.argv[2:], verbosity=2)
"""


def check(condition, message):
    if not condition:
        sys.exit("FAILED: " + message)


def clean_env(**extra):
    """The caller's environment without anything that points Python or pip elsewhere."""
    env = dict((k, v) for k, v in os.environ.items()
               if not k.startswith("PIP_")
               and k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_PRELOAD"))
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
               PYTHONNOUSERSITE="1", **extra)
    return env


def run(command, env=None, cwd=None, expect_ok=True):
    """Runs command with its output shown; returns (exit code, output)."""
    print("$ " + " ".join("'<probe>'" if "\n" in c else c for c in command), flush=True)
    p = subprocess.run(command, env=env or clean_env(), cwd=cwd, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, universal_newlines=True)
    print(p.stdout, flush=True)
    check(p.returncode == 0 or not expect_ok, "exit code %d: %s" % (p.returncode, command[0]))
    return p.returncode, p.stdout


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def fresh_work(args, name):
    """An empty work folder for a leg and, in it, a copy of the source tree as a fresh clone has
    it (no build outputs, no repository): (work folder, source copy)."""
    def ignore(folder, names):
        top = ("build", "build-*", ".git", "dist", "*.egg-info") if os.path.samefile(folder, args.source) else ()
        return set(n for n in names for p in ("__pycache__", "*.pyc") + top if fnmatch.fnmatch(n, p))
    work = fresh_folder(os.path.join(args.work, name))
    shutil.copytree(args.source, os.path.join(work, "src"), ignore=ignore)
    return work, os.path.join(work, "src")


def site_packages(venv):
    return glob.glob(os.path.join(venv, "lib", "python3*", "site-packages"))[0]


def has_module(python, name):
    return subprocess.call([python, "-c", "import " + name], env=clean_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0


def check_installed(python, folder, major, source, tests, env):
    """One module in folder, a release build exporting only its init function; then the named tests."""
    found = [n for n in os.listdir(folder) if re.match(r"quillane_native(\..*)?\.so$", n)]
    check(len(found) == 1, "expected one quillane_native module in %s, found %s" % (folder, found))
    module = os.path.join(folder, found[0])
    exported = set(line.split()[-1] for line in run(["nm", "-D", "--defined-only", module])[1].split("\n") if line)
    check(exported == {INIT[major]}, "exports %s, expected only %s" % (sorted(exported), INIT[major]))
    _, sections = run(["readelf", "-S", "-W", module])
    check(".debug_info" not in sections, "debug information in a release build: " + module)
    run([python, "-c", PROBE, folder] + tests, env=env, cwd=os.path.join(source, "tests", "native"))


# ---- the legs ----

def leg_py3(args):
    """pip install into a fresh venv, the tests against it; then pip wheel, where it can."""
    python = args.python[0]
    work, source = fresh_work(args, "py3")
    venv = os.path.join(work, "venv")
    run([python, "-m", "venv", venv])
    venv_python = os.path.join(venv, "bin", "python")
    run([venv_python, "-m", "pip", "install", "--no-build-isolation", "--no-index", source])
    check_installed(venv_python, site_packages(venv), 3, source, ["test_crypto", "test_stub"], clean_env())
    if not has_module(python, "wheel"):
        return print("pip wheel not tried: no wheel package for %s (Debian: python3-wheel)" % python)
    # A platform wheel holding the module and both copies of the stubs.
    wheels = fresh_folder(os.path.join(work, "wheels"))
    run([python, "-m", "pip", "wheel", "--no-build-isolation", "--no-index", "--no-deps", "-w", wheels, source])
    built = os.listdir(wheels)
    check(len(built) == 1 and re.search(r"-cp3\d+-cp3\d+m?-linux_\w+\.whl$", built[0]),
          "expected one platform wheel for this interpreter, found %s" % built)
    with zipfile.ZipFile(os.path.join(wheels, built[0])) as archive:
        content = sorted(n for n in archive.namelist() if ".dist-info/" not in n)
    check(len(content) == 3 and content[0::2] == ["quillane_native-stubs/__init__.pyi", "quillane_native.pyi"]
          and re.match(r"quillane_native\.cpython-3\d+.*\.so$", content[1]), "wheel content %s" % content)


def leg_py3_mypy(args):
    """mypy over the typed examples with the stubs installed in that venv (77: skipped)."""
    mypy = shutil.which("mypy")
    if not mypy:
        print("SKIPPED: mypy is not installed (Debian package mypy; scripts/install-deps.sh installs it)")
        return SKIP
    venv_python = os.path.join(args.work, "py3", "venv", "bin", "python")
    bad = os.path.join(HERE, "typed_bad.py")
    code, out = run([mypy, "--strict", "--python-executable", venv_python, "--cache-dir", os.path.join(
        args.work, "mypy-cache"), os.path.join(HERE, "typed_ok.py"), bad], env=clean_env(MYPYPATH=""), expect_ok=False)
    flagged = re.findall(r"^(\S+?\.py):(\d+): error:", out, re.M)
    expected = [i + 1 for i, line in enumerate(open(bad)) if line.rstrip().endswith("# error")]
    # Errors on exactly the marked lines of typed_bad.py, none in typed_ok.py.
    check(sorted(set((os.path.basename(n), int(i)) for n, i in flagged))
          == [("typed_bad.py", i) for i in expected] and code == 1,
          "mypy (exit code %d) flags %s; expected lines %s of typed_bad.py only"
          % (code, flagged, expected))


def leg_py3_uninstall(args):
    """pip uninstall leaves nothing of the module in that venv."""
    venv = os.path.join(args.work, "py3", "venv")
    run([os.path.join(venv, "bin", "python"), "-m", "pip", "uninstall", "-y", "quillane_native"])
    left = [n for n in os.listdir(site_packages(venv)) if n.startswith("quillane_native")]
    check(not left, "left behind after uninstalling: %s" % left)


def leg_py2(args):
    """pip install --target into a fresh folder, the tests against it."""
    python = args.python[0]
    work, source = fresh_work(args, "py2")
    target = os.path.join(work, "target")
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--target", target, source])
    check_installed(python, target, 2, source, ["test_crypto"], clean_env(PYTHONPATH=target))


def leg_missing_deps(args):
    """Each case hides some dependencies; setup.py must name exactly their packages, early."""
    work, source = fresh_work(args, "missing-deps")
    no_tools = fresh_folder(os.path.join(work, "empty-bin"))
    no_pc = fresh_folder(os.path.join(work, "empty-pkgconfig"))
    cases = [
        ("no tools on PATH", dict(PATH=no_tools), ["build-essential", "cmake", "pkg-config"]),
        ("no libsodium.pc", dict(PKG_CONFIG_LIBDIR=no_pc, PKG_CONFIG_PATH=""), ["libsodium-dev"]),
    ]
    for python in args.python:
        for title, env, packages in cases:
            print("---- %s, %s" % (python, title))
            code, out = run([python, "setup.py", "build_ext"], env=clean_env(**env), cwd=source, expect_ok=False)
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


def main():
    legs = dict((n[4:].replace("_", "-"), f) for n, f in globals().items() if n.startswith("leg_"))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("leg", choices=sorted(legs))
    for option in ("--source", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--python", action="append", default=[])
    args = parser.parse_args()
    return legs[args.leg](args) or 0


if __name__ == "__main__":
    sys.exit(main())
