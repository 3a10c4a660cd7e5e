"""Runs the README's Python example against the installed module and checks what it shows.

    python scripts/readme_example.py [README.md]

Every statement of the README's first ```python block runs in order. An expression statement
whose line ends in a comment holding a plain Python literal (`result.text  # 'Ping ...'`) must
evaluate to that literal; other comments (`# [Entity(...), ...]`) are prose and only run.
"""

import ast
import io
import re
import sys
import tokenize
from pathlib import Path


def example_source(readme: Path) -> str:
    match = re.search(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S)
    if match is None:
        sys.exit(f"{readme}: no ```python block")
    return match.group(1)


def end_of_line_comments(source: str) -> dict[int, str]:
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    return comments


def main() -> int:
    readme = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent / "README.md")
    source = example_source(readme)
    comments = end_of_line_comments(source)
    namespace: dict[str, object] = {}
    checked = 0
    for statement in ast.parse(source).body:
        code = ast.get_source_segment(source, statement)
        comment = comments.get(statement.end_lineno)
        expected = None
        if isinstance(statement, ast.Expr) and comment:
            try:
                expected = ast.literal_eval(comment)
            except (ValueError, SyntaxError):
                expected = None
        if expected is None:
            exec(compile(ast.Module([statement], []), str(readme), "exec"), namespace)
            continue
        actual = eval(compile(ast.Expression(statement.value), str(readme), "eval"), namespace)
        if actual != expected:
            print(f"README example: {code}\n  shows    {expected!r}\n  gives    {actual!r}")
            return 1
        checked += 1
    if checked == 0:
        print("README example: no statement with a shown value")
        return 1
    module = sys.modules.get("velk_anonymizer")
    print(f"README example: {checked} shown values match ({getattr(module, '__file__', '?')})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
