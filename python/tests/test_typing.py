# The type stubs describe what the module really has: every public class
# and member at run time is in the stubs, and nothing in the stubs is
# missing at run time.
import ast
import pathlib

import pytest

import vostrel
import vostrel.aio
import vostrel.sim

PACKAGE = pathlib.Path(vostrel.__file__).parent


def stub_classes(name, attributes=False):
    """Each class's methods; with `attributes`, its annotated attributes too
    (instance attributes are not on the class at run time)."""
    tree = ast.parse((PACKAGE / name).read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {
                n.name for n in node.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
            }
            if attributes:
                classes[node.name] |= {
                    n.target.id for n in node.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
                }
    return classes


def public(cls):
    own = set()
    for klass in cls.__mro__:
        if klass.__module__ in ("builtins",) or klass in (Exception, BaseException):
            continue
        own |= {n for n in vars(klass) if not n.startswith("_")}
    return own


@pytest.mark.parametrize(
    "stub, module",
    [("_vostrel.pyi", vostrel._vostrel), ("sim.pyi", vostrel.sim), ("aio.pyi", vostrel.aio),
     ("__init__.pyi", vostrel)],
)
def test_stubs_match_the_module(stub, module):
    classes = stub_classes(stub)
    declared = stub_classes(stub, attributes=True)
    for name, members in classes.items():
        runtime = getattr(module, name)
        inherited = set()
        for base in runtime.__mro__[1:]:
            for stub_members in stub_classes("_vostrel.pyi").get(base.__name__, set()), classes.get(
                base.__name__, set()
            ):
                inherited |= stub_members
        assert public(runtime) <= declared[name] | inherited | {"args", "with_traceback", "add_note"}, name
        assert {m for m in members if not m.startswith("__")} <= set(dir(runtime)), name


def test_package_is_typed():
    assert (PACKAGE / "py.typed").exists()
