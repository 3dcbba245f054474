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


def stub_classes(name):
    tree = ast.parse((PACKAGE / name).read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {
                n.name for n in node.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
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
    for name, members in classes.items():
        runtime = getattr(module, name)
        inherited = set()
        for base in runtime.__mro__[1:]:
            for stub_members in stub_classes("_vostrel.pyi").get(base.__name__, set()), classes.get(
                base.__name__, set()
            ):
                inherited |= stub_members
        assert public(runtime) <= members | inherited | {"args", "with_traceback", "add_note"}, name
        assert {m for m in members if not m.startswith("__")} <= set(dir(runtime)), name


def test_package_is_typed():
    assert (PACKAGE / "py.typed").exists()
