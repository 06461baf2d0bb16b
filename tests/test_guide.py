"""Every example of docs/guide.md runs, so the guide cannot drift from the package.

How the guide is read:
- Each `## ` section runs as one program in a process of its own, in a fresh directory, with the
  installed package and SQLite; its fenced blocks run in order and share one namespace.
- A block whose info string carries a path after the language (```python models.py,
  ```xml mappers/users.xml) is a file of the example application: it is written to that path
  when the program reaches it. Files written by earlier sections are there from the start (the
  last version of each path); databases are not carried over.
- Other ```python blocks are run. An expression statement whose line ends with a comment
  `# -> TEXT`, or is followed by a line holding only that comment, is checked: repr() of its value must be TEXT; with `# -> raises NAME: MESSAGE` it
  must raise an exception of that class name whose str() is MESSAGE (`# -> raises NAME` checks
  the class only). Blocks in other languages (text, sh, xml without a path) are prose.
"""

import json
import pathlib
import re
import subprocess
import sys

import pytest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
FENCE = re.compile(r"^```(\w*)[ \t]*(\S*)[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)

# Runs one section: reads its steps as JSON on stdin, writes files and executes code in order.
DRIVER = r'''
import ast, io, json, pathlib, sys, tokenize

def check(value, expected, line):
    if repr(value) != expected:
        raise AssertionError(f"guide.md line {line}: expected {expected}, got {value!r}")

def check_raises(thunk, expected, line):
    try:
        value = thunk()
    except Exception as e:
        name, _, message = expected.partition(": ")
        if type(e).__name__ != name or (message and str(e) != message):
            raise AssertionError(f"guide.md line {line}: expected raises {expected}, "
                                 f"got raises {type(e).__name__}: {e}") from e
    else:
        raise AssertionError(f"guide.md line {line}: expected raises {expected}, got {value!r}")

class Checks(ast.NodeTransformer):
    def __init__(self, comments):
        self.comments = comments

    def visit_Expr(self, node):
        expected = self.comments.get(node.end_lineno)
        if expected is None:
            return node
        line = ast.Constant(node.end_lineno)
        if expected.startswith("raises "):
            thunk = ast.Lambda(ast.arguments([], [], None, [], [], None, []), node.value)
            call = ast.Call(ast.Name("__check_raises", ast.Load()),
                            [thunk, ast.Constant(expected[len("raises "):]), line], [])
        else:
            call = ast.Call(ast.Name("__check", ast.Load()),
                            [node.value, ast.Constant(expected), line], [])
        return ast.copy_location(ast.Expr(call), node)

namespace = {"__name__": "__main__", "__check": check, "__check_raises": check_raises}
for step in json.load(sys.stdin):
    if step["path"]:
        path = pathlib.Path(step["path"])
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(step["text"], encoding="utf-8")
        continue
    source = "\n" * (step["line"] - 1) + step["text"]
    # A check on a line of its own belongs to the expression that ends on the line above.
    comments = {t.start[0] - (t.line.lstrip().startswith("#")): t.string.split("# -> ", 1)[1].rstrip()
                for t in tokenize.generate_tokens(io.StringIO(source).readline)
                if t.type == tokenize.COMMENT and t.string.startswith("# -> ")}
    tree = ast.fix_missing_locations(Checks(comments).visit(ast.parse(source)))
    exec(compile(tree, "docs/guide.md", "exec"), namespace)
'''


def sections():
    """(title, steps, files of earlier sections) per `## ` section."""
    text = GUIDE.read_text(encoding="utf-8")
    starts = [m.start() for m in re.finditer(r"^## ", text, re.M)] + [len(text)]
    found, files = [], {}
    for start, end in zip(starts, starts[1:]):
        body = text[start:end]
        steps = []
        for m in FENCE.finditer(body):
            lang, path, code = m.groups()
            line = text.count("\n", 0, start + m.start(3)) + 1
            if path or lang == "python":
                steps.append({"path": path, "text": code, "line": line})
        found.append((body.splitlines()[0][3:], steps, dict(files)))
        files.update({s["path"]: s["text"] for s in steps if s["path"]})
    return [s for s in found if s[1]]


SECTIONS = sections()


@pytest.mark.parametrize("title, steps, files", SECTIONS, ids=[s[0] for s in SECTIONS])
def test_guide_section(tmp_path, title, steps, files):
    for path, content in files.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(content, encoding="utf-8")
    done = subprocess.run([sys.executable, "-c", DRIVER], input=json.dumps(steps), cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"section {title!r}:\n{done.stderr}"
