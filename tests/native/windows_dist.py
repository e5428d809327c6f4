"""The Windows module as build/dist/ hands it out (cmake/WindowsLegs.cmake), read with the mingw
binutils' objdump, no Windows needed: the two .pyd files and the stubs, nothing else; each file
of its architecture, importing exactly the interpreter functions its definition file lists
(cmake/windows-python/) and otherwise only from Windows' own DLLs, never a compiler runtime DLL;
exporting its initialisation function alone.

Usage: windows_dist.py <dist folder> <objdump> <source folder>"""

import os
import re
import subprocess
import sys
import unittest

DIST, OBJDUMP, SOURCE = sys.argv[1:4]

# Windows' own DLLs, present on every Windows the module serves (7 and later).
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "ole32.dll",
               "oleaut32.dll", "shell32.dll", "user32.dll", "bcrypt.dll"}
MODULES = {  # folder: (format, interpreter DLL, its definition file, init function)
    "python27-win32": ("pei-i386", "python27.dll", "python27.def", "initquillane_native"),
    "python3-win_amd64": ("pei-x86-64", "python3.dll", "python3.def", "PyInit_quillane_native"),
}


def tables(path):
    """(file format, {DLL name: [imported names]}, [exported names]) of a PE file."""
    out = subprocess.check_output([OBJDUMP, "-p", path]).decode()
    fmt = re.search(r"file format (\S+)", out).group(1)
    imports, dll = {}, None
    for line in out.split("\n"):
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = imports.setdefault(m.group(1), [])
        elif dll is not None and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+$", line):
            dll.append(line.split()[-1])
        elif not line.strip():
            dll = None
    exports = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[.*\n)*)", out)
    return fmt, imports, re.findall(r"\] (\S+)", exports.group(1)) if exports else []


def listed(def_file):
    with open(def_file) as f:
        lines = f.read().split("EXPORTS", 1)[1].split("\n")
    return sorted(line.split()[0] for line in lines if line.strip() and line[0] != ";")


class WindowsDist(unittest.TestCase):
    def test_holds_the_two_modules_and_the_stubs(self):
        found = sorted(os.path.relpath(os.path.join(d, f), DIST)
                       for d, _, files in os.walk(DIST) for f in files)
        self.assertEqual(found, ["python27-win32/quillane_native.pyd",
                                 "python3-win_amd64/quillane_native.pyd",
                                 "python3-win_amd64/quillane_native.pyi"])
        with open(os.path.join(SOURCE, "native", "quillane_native.pyi")) as a, \
                open(os.path.join(DIST, "python3-win_amd64", "quillane_native.pyi")) as b:
            self.assertEqual(a.read(), b.read())

    def test_imports_and_exports(self):
        for folder, (fmt, interpreter, def_file, init) in sorted(MODULES.items()):
            with self.subTest(module=folder):
                found_fmt, imports, exports = tables(
                    os.path.join(DIST, folder, "quillane_native.pyd"))
                self.assertEqual(found_fmt, fmt)
                self.assertEqual(exports, [init])
                others = {dll.lower() for dll in imports if dll != interpreter}
                self.assertEqual(others - SYSTEM_DLLS, set())
                self.assertEqual(sorted(imports.get(interpreter, [])),
                                 listed(os.path.join(SOURCE, "cmake", "windows-python", folder,
                                                     def_file)))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
