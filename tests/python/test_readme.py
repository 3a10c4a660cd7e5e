"""The README's examples run as written: Python blocks (a comment that is a Python literal is the
value of its line's expression; `# prints X`: the block prints X) and console transcripts (each
`$ ` command's standard output is the lines below it), with the installed module and script."""

import ast
import contextlib
import io
import os
import re
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```$", README.read_text(encoding="utf-8"),
                      flags=re.M | re.S)


def comments(source):
    """Line number to comment text (without '#')."""
    return {token.start[0]: token.string[1:].strip()
            for token in tokenize.generate_tokens(io.StringIO(source).readline)
            if token.type == tokenize.COMMENT}


def literal(text):
    try:
        return True, ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return False, None


def checked(source):
    """The block as code whose literal comments are assertions; and the texts it must print."""
    lines = source.splitlines()
    notes = comments(source)
    pieces, printed = [], []
    for statement in ast.parse(source).body:
        piece = "\n".join(lines[statement.lineno - 1:statement.end_lineno])
        for line in range(statement.lineno, statement.end_lineno + 1):
            if notes.get(line, "").startswith("prints "):
                printed.append(notes[line][len("prints "):])
        is_value, value = literal(notes.get(statement.end_lineno, ""))
        if is_value and isinstance(statement, ast.Expr):
            expression = ast.get_source_segment(source, statement.value)
            piece = f"__value__ = ({expression})\nassert __value__ == {value!r}, __value__"
        elif is_value and isinstance(statement, ast.Assign) and \
                isinstance(statement.targets[0], ast.Name):
            name = statement.targets[0].id
            piece += f"\nassert {name} == {value!r}, {name}"
        pieces.append(piece)
    return compile("\n".join(pieces) + "\n", str(README), "exec"), printed


PYTHON_BLOCKS = blocks("python")


def test_the_readme_has_its_examples():
    assert len(PYTHON_BLOCKS) >= 2 and len(blocks("console")) >= 1
    assert any("restore_stream" in block for block in PYTHON_BLOCKS)


@pytest.mark.parametrize("source", PYTHON_BLOCKS, ids=[f"python-{n}" for n in
                                                      range(len(PYTHON_BLOCKS))])
def test_python_blocks_run_as_written(source, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    code, printed = checked(source)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(code, {"__name__": "__readme__"})
    for text in printed:
        assert text in out.getvalue()


def test_literal_comments_are_checked():
    code, printed = checked("x = 1 + 1  # 3\nprint('hi')  # prints hi\n")
    assert printed == ["hi"]
    with pytest.raises(AssertionError):
        exec(code, {})


@pytest.mark.parametrize("transcript", blocks("console"))
def test_console_transcripts_run_as_written(transcript, tmp_path):
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    steps = re.split(r"^\$ ", transcript, flags=re.M)[1:]
    assert steps
    for step in steps:
        command, _, expected = step.partition("\n")
        done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), command
        assert done.stdout == expected, command
