# The type stubs (quillane_native.pyi, beside the module) against the module itself: the same
# functions in the order of registration, the conventions the stubs state (positional arguments
# only, no documentation), and argument counts the module accepts. The stubs describe the
# Python 3 module, so the checks run under Python 3 only.

import ast
import os
import sys
import unittest

import quillane_native as q

ARGS = "Couldn't interpret parameters"


def stub_functions():
    """[(name, [parameter annotations], takes *args)] of the stubs, in their order."""
    path = os.path.join(os.path.dirname(os.path.abspath(q.__file__)), "quillane_native.pyi")
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    return [(node.name, [ast.unparse(p.annotation) for p in node.args.posonlyargs + node.args.args],
             node.args.vararg is not None)
            for node in tree.body if isinstance(node, ast.FunctionDef)]


@unittest.skipUnless(sys.version_info[0] >= 3, "the stubs describe the Python 3 module")
class Stub(unittest.TestCase):
    def test_lists_exactly_the_registered_functions(self):
        registered = [name for name in q.__dict__ if not name.startswith("__")]
        self.assertEqual(registered, [function[0] for function in stub_functions()])
        self.assertIsNone(q.__doc__)
        for name in registered:
            self.assertIsNone(getattr(q, name).__doc__)
            self.assertRaises(TypeError, getattr(q, name), x=1)

    def test_argument_counts_match_the_module(self):
        # One too few and one too many are refused; the cryptographic functions, free of side
        # effects, must also get past argument parsing with the stubs' count and types. The
        # stream functions answer a wrong count their own way (they may return None); functions
        # without parameters ignore whatever they are given.
        for name, params, variadic in stub_functions():
            if variadic or not params or name.startswith("UTP_"):
                continue
            with self.subTest(function=name):
                for count in (len(params) - 1, len(params) + 1):
                    with self.assertRaises(RuntimeError) as cm:
                        getattr(q, name)(*[None] * count)
                    self.assertEqual(str(cm.exception), ARGS)
                if name.startswith("Crypto_"):
                    try:
                        getattr(q, name)(*[b"" if "bytes" in p else 0 for p in params])
                    except RuntimeError as e:
                        self.assertNotEqual(str(e), ARGS, "refuses arguments of the stubs' types")


if __name__ == "__main__":
    unittest.main()
