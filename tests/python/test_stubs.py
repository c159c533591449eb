"""The type stubs of the installed package: installed beside it with py.typed,
and every public name they declare importable, with the parameters and
attributes they give it; a type checker (mypy, where installed) accepts them."""

import ast
import inspect
import os
from pathlib import Path

import pytest

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


def test_a_type_checker_accepts_the_stubs_and_finds_a_wrong_argument(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    use = tmp_path / "use.py"
    use.write_text("import elutrix\n"
                   "run: elutrix.Result = elutrix.simulate({'seed': 1}, components=True)\n"
                   "first: float = float(run.response[0])\n"
                   "path: str = run.write('run.cdf', precision='double')\n"
                   "runs: list[elutrix.Result] = elutrix.simulate_many({'seed': 1}, 3, threads=2)\n")
    flags = ["--strict", "--no-incremental", "--cache-dir", os.devnull]
    out, err, status = mypy.run([*flags, str(use), str(PACKAGE / "__init__.pyi")])
    assert status == 0, out + err
    use.write_text("import elutrix\nelutrix.simulate({}).write('run.cdf', precision='single')\n")
    out, _, status = mypy.run([*flags, str(use)])
    assert status == 1 and 'Argument "precision"' in out, out
