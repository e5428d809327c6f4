# The type stubs (quillane_native.pyi, beside the module) against the module itself: the same
# public names, and argument counts the module accepts. The stubs describe the Python 3 module,
# so the checks run under Python 3 only.

import ast
import os
import sys
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
PARSE_ERROR = "Couldn't interpret parameters"


def stub_tree():
    path = os.path.join(os.path.dirname(os.path.abspath(q.__file__)), "quillane_native.pyi")
    with open(path) as f:
        return ast.parse(f.read(), path)


def stub_functions(tree):
    """{name: ([parameter annotations], takes *args)} of the stub's functions."""
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            params = node.args.posonlyargs + node.args.args
            functions[node.name] = ([ast.unparse(p.annotation) for p in params],
                                    node.args.vararg is not None)
    return functions


def stub_public_names(tree):
    """Functions and annotated module values (should the module ever get any) of the stub."""
    names = set(stub_functions(tree))
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return set(n for n in names if not n.startswith("_"))


def sample(annotation):
    """A value of the annotated type that reaches past argument parsing."""
    return b"" if "bytes" in annotation else 0


@unittest.skipUnless(PY3, "the stubs describe the Python 3 module")
class Stub(unittest.TestCase):
    def test_lists_exactly_the_registered_functions(self):
        registered = set(n for n in dir(q) if not n.startswith("_"))
        typed = stub_public_names(stub_tree())
        missing, extra = sorted(registered - typed), sorted(typed - registered)
        if missing or extra:
            self.fail("the stub and the module differ:\n  registered but not in the stub: %s"
                      "\n  in the stub but not registered: %s" % (missing, extra))

    def test_argument_counts_match_the_module(self):
        # A function that parses its arguments refuses one too few and one too many. The stream
        # functions are left out: their answer to a wrong count is their own (they may return
        # None). Functions without parameters ignore whatever they are given.
        for name, (params, variadic) in sorted(stub_functions(stub_tree()).items()):
            if variadic or not params or name.startswith("UTP_") or not hasattr(q, name):
                continue
            with self.subTest(function=name, parameters=len(params)):
                for count in (len(params) - 1, len(params) + 1):
                    with self.assertRaises(RuntimeError) as cm:
                        getattr(q, name)(*([None] * count))
                    self.assertEqual(str(cm.exception), PARSE_ERROR)
                if name.startswith("Crypto_"):  # free of side effects: call with the stub's count
                    try:
                        getattr(q, name)(*[sample(p) for p in params])
                    except RuntimeError as e:
                        self.assertNotEqual(str(e), PARSE_ERROR,
                                            "the module refuses arguments of the stub's types")


if __name__ == "__main__":
    unittest.main()
