"""build/dist/ read with mingw's objdump (windows_dist.py <dist> <objdump> <source>): the two .pyd
files and the stubs alone; each file imports exactly the interpreter functions its .def file
lists (cmake/windows-python/), else only Windows' own DLLs, and exports its init function alone."""

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
    imports, dll = {}, None
    for line in out.split("\n"):
        if "DLL Name:" in line:
            dll = imports.setdefault(line.split()[-1], [])
        elif dll is not None and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+$", line):
            dll.append(line.split()[-1])
        elif not line.strip():
            dll = None
    exports = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[.*\n)*)", out)
    return (re.search(r"file format (\S+)", out).group(1), imports,
            re.findall(r"\] (\S+)", exports.group(1)) if exports else [])


class WindowsDist(unittest.TestCase):
    def test_files_imports_and_exports(self):
        self.assertEqual(sorted(os.path.relpath(os.path.join(d, f), DIST)
                                for d, _, files in os.walk(DIST) for f in files),
                         ["python27-win32/quillane_native.pyd",
                          "python3-win_amd64/quillane_native.pyd",
                          "python3-win_amd64/quillane_native.pyi"])
        for folder, (fmt, interpreter, def_file, init) in sorted(MODULES.items()):
            with self.subTest(module=folder):
                with open(os.path.join(SOURCE, "cmake", "windows-python", folder, def_file)) as f:
                    listed = [line.split()[0] for line in f.read().split("EXPORTS")[1].split("\n")
                              if line.strip() and not line.startswith(";")]
                found = tables(os.path.join(DIST, folder, "quillane_native.pyd"))
                self.assertEqual(found[0], fmt)
                self.assertEqual(sorted(found[1].pop(interpreter, [])), sorted(listed))
                self.assertEqual({dll.lower() for dll in found[1]} - SYSTEM_DLLS, set())
                self.assertEqual(found[2], [init])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
