"""The type stubs placed beside the module: mypy's stubtest finds no mismatch, and every
parameter's name, kind and default agree with the signatures the module reports."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import _pymosk

STUBS = pathlib.Path(_pymosk.__file__).parent / "_pymosk"


def test_stubtest_finds_no_mismatch(tmp_path):
    assert (STUBS / "py.typed").exists()
    env = {**os.environ, "MYPYPATH": str(STUBS.parent), "PYTHONPATH": str(STUBS.parent)}
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_pymosk"], cwd=tmp_path,
                         env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "::" not in "".join(p.read_text() for p in STUBS.glob("*.pyi"))  # no C++ names


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += c in "[(" and 1 or c in "])" and -1 or 0
        if c == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    return [p.strip() for p in parts + [text[start:]] if p.strip()]


def runtime_overloads(obj):
    """[(name, keyword allowed, default)] per overload, from the binding's signature lines."""
    sigs = [re.sub(r"^\d+\. ", "", line.strip()) for line in (obj.__doc__ or "").splitlines()]
    sigs = [s for s in sigs if re.match(r"\w+\(.*\) -> ", s) and "*args" not in s]
    result = []
    for s in sigs:
        params = split_top_level(s[s.index("(") + 1:s.rindex(") -> ")])
        row = []
        for p in params[1:] if params and params[0].startswith("self") else params:
            name, _, default = p.partition(" = ")
            name = name.split(":")[0]
            if name == "/":  # the parameters before it are positional only
                row = [(None, False, d) for _, _, d in row]
                continue
            keyword = not re.fullmatch(r"arg\d+", name)  # argN: positional only
            row.append((name if keyword else None, keyword,
                        ast.literal_eval(default) if default else None))
        result.append(row)
    return result


def stub_overloads(fn_defs):
    result = []
    for f in fn_defs:
        a = f.args
        positional = a.posonlyargs + a.args
        defaults = [None] * (len(positional) - len(a.defaults)) + [
            ast.literal_eval(d) for d in a.defaults]
        row = [(p.arg if p not in a.posonlyargs else None, p not in a.posonlyargs, d)
               for p, d in zip(positional, defaults) if p.arg != "self"]
        if a.kwonlyargs:  # "*", then the keyword-only parameters
            row.append(("*", True, None))
            row += [(p.arg, True, None if d is None else ast.literal_eval(d))
                    for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        result.append(row)
    return result


def stub_functions(body):
    found = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


@pytest.mark.parametrize("stub, runtime", [("__init__.pyi", _pymosk), ("utils.pyi", _pymosk.utils)])
def test_stub_parameters_match_the_runtime(stub, runtime):
    tree = ast.parse((STUBS / stub).read_text())
    scopes = [(runtime, tree.body)]
    scopes += [(getattr(runtime, n.name), n.body) for n in tree.body
               if isinstance(n, ast.ClassDef) and hasattr(runtime, n.name)]
    checked = 0
    for owner, body in scopes:
        for name, defs in stub_functions(body).items():
            expected = runtime_overloads(getattr(owner, name))
            if not expected:  # no signature to compare (dunders of the binding library)
                continue
            assert stub_overloads(defs) == expected, f"{owner.__name__}.{name}"
            checked += 1
    assert checked >= (30 if runtime is _pymosk else 5)


def test_readme_examples_pass_mypy_strict(tmp_path):
    # The README's Python blocks, in order, as one script (the later ones go on from the first).
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(re.findall(r"```python\n(.*?)```", readme, re.S)) +
                      # What the module also takes: paths and index arrays.
                      "import pathlib\ngrid.exportVTK(pathlib.Path('out') / 'cube.vtu', u)\n"
                      "solver.addMatrixEntries(np.asarray(idx), np.asarray(idx), A)\n")
    env = {**os.environ, "MYPYPATH": str(STUBS.parent)}
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          script.name], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
