"""The type stubs of the installed package: installed beside it with py.typed,
and every public name they declare importable, with the parameters and
attributes they give it."""

import ast
import inspect
from pathlib import Path

import elutrix

PACKAGE = Path(elutrix.__file__).parent


def stub():
    return ast.parse((PACKAGE / "__init__.pyi").read_text())


def declared(body):
    """Public names a stub body declares: {name: node}."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
    return {name: node for name, node in names.items() if not name.startswith("_") or name.startswith("__")}


def parameters(function):
    args = function.args
    return [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]


def test_the_stubs_and_py_typed_are_installed_with_the_package():
    assert (PACKAGE / "py.typed").is_file()
    assert (PACKAGE / "__init__.pyi").is_file()


def test_every_name_the_stubs_declare_is_there():
    tree = stub()
    names = declared(tree.body)
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", "") == "__all__")
    assert stub_all == elutrix.__all__
    assert set(elutrix.__all__) <= set(names) | {"__version__"}
    # One run to look at a result's attributes, which are set when it is made.
    result = elutrix.simulate({"seed": 1}, components=True)
    for name, node in names.items():
        assert hasattr(elutrix, name), name
        runtime = getattr(elutrix, name)
        if isinstance(node, ast.FunctionDef):
            assert parameters(node) == list(inspect.signature(runtime).parameters), name
        if isinstance(node, ast.ClassDef):
            instance = result if runtime is elutrix.Result else runtime("message")
            for member, inner in declared(node.body).items():
                assert hasattr(instance, member), (name, member)
                if isinstance(inner, ast.FunctionDef):
                    expected = parameters(inner)[1:]  # without self
                    assert expected == list(inspect.signature(getattr(instance, member)).parameters), (name, member)
