"""The README's code blocks, for the tests that run them as a reader would."""

import ast
import contextlib
import io
import pathlib
import re
import tokenize

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language):
    """The README's code blocks in the given language, in order."""
    return [body for found, body in BLOCK.findall(README.read_text(encoding="utf-8")) if found == language]


def scripts():
    """{file name: source} of the README's Python blocks that are files to save,
    marked with the name after the language: ```python NAME.py. The guide leaves
    them out."""
    found = re.findall(r"^```python ([\w.]+\.py)\n(.*?)^```$", README.read_text(encoding="utf-8"),
                       re.MULTILINE | re.DOTALL)
    return dict(found)


def guide_source():
    """Every Python block of the README, joined into one program."""
    return "\n".join(blocks("python"))


def trailing_comments(source):
    """{line number: text of the comment ending that line, without '# '}."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    return comments


def run_statements(source, namespace):
    """Runs source one top-level statement at a time and yields, for each
    statement that printed, (its last line, what it printed, the comment on
    that line or None)."""
    comments = trailing_comments(source)
    for statement in ast.parse(source).body:
        code = compile(ast.Module(body=[statement], type_ignores=[]), "README.md", "exec")
        output = io.StringIO()
        with contextlib.redirect_stdout(output):
            exec(code, namespace)
        printed = output.getvalue().rstrip("\n")
        if printed:
            line = ast.get_source_segment(source, statement).splitlines()[-1]
            yield line, printed, comments.get(statement.end_lineno)


def console_sessions():
    """(command, expected output) for each '$ ' line of the README's console blocks."""
    sessions = []
    for body in blocks("console"):
        for line in body.splitlines():
            if line.startswith("$ "):
                sessions.append((line[2:], []))
            else:
                sessions[-1][1].append(line)
    return [(command, "\n".join(output)) for command, output in sessions]
