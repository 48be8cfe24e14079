# vorm/ext.pyi must name exactly what vorm.ext has, and document all of it.
import os
import sys
import unittest

from vorm import ext

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "vorm", "ext.pyi")


@unittest.skipIf(sys.version_info < (3, 8), "the stub uses Python 3 syntax; ast docstrings need 3.8")
class StubTest(unittest.TestCase):
    def setUp(self):
        import ast
        with open(STUB) as handle:
            self.tree = ast.parse(handle.read())
        self.ast = ast
        self.classes = dict((node.name, node) for node in self.tree.body if isinstance(node, ast.ClassDef))

    def members(self, name):
        """Names a stub class defines or inherits from stub bases."""
        node = self.classes[name]
        found = set()
        for item in node.body:
            if isinstance(item, self.ast.FunctionDef):
                found.add(item.name)
            elif isinstance(item, self.ast.AnnAssign):
                found.add(item.target.id)
        for base in node.bases:
            base_name = base.value.id if isinstance(base, self.ast.Subscript) else getattr(base, "id", "")
            if base_name in self.classes:
                found |= self.members(base_name)
        return found

    def test_same_types_functions_methods_and_attributes(self):
        module_types = set(n for n in dir(ext) if isinstance(getattr(ext, n), type))
        module_functions = set(n for n in dir(ext) if not n.startswith("_") and n not in module_types)
        stub_functions = set(node.name for node in self.tree.body if isinstance(node, self.ast.FunctionDef))
        self.assertEqual(set(n for n in self.classes if not n.startswith("_")), module_types)
        self.assertEqual(stub_functions, module_functions)
        for name in module_types:
            kind = getattr(ext, name)
            stubbed = self.members(name)
            self.assertEqual(set(n for n in stubbed if not n.startswith("_")),
                             set(n for n in dir(kind) if not n.startswith("_")), name)
            for special in (n for n in stubbed if n.startswith("__") and n != "__init__"):
                self.assertTrue(hasattr(kind, special), (name, special))

    def test_everything_is_documented(self):
        ast = self.ast

        def documented(body, owner):
            for index, item in enumerate(body):
                if isinstance(item, (ast.FunctionDef, ast.ClassDef)):
                    self.assertTrue(ast.get_docstring(item), (owner, item.name))
                    if isinstance(item, ast.ClassDef):
                        documented(item.body, item.name)
                elif isinstance(item, ast.AnnAssign):
                    following = body[index + 1] if index + 1 < len(body) else None
                    self.assertTrue(isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant),
                                    (owner, item.target.id))
        documented(self.tree.body, "vorm.ext")


if __name__ == "__main__":
    unittest.main()
