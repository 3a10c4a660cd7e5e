"""The command line: ``velk anonymize``, ``velk restore`` and ``velk tokens``.

Exit status 0 on success, 2 for usage errors (argparse's message), 1 for anything else with one
line on standard error that starts with ``velk:``. Outputs to files are written whole or not at
all, and on any error the session is left unchanged.
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import re
import sys
import unicodedata
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, TypeVar

import velk_anonymizer as va

from velk._files import StagedFile
from velk.extra import anonymize
from velk.session import SessionError, SessionFile
from velk.stream import StreamRestorer

__all__ = ["main"]

STDIN_NAME = "standard input"
READ_SIZE = 1 << 16

T = TypeVar("T")


class CommandError(Exception):
    """An error reported as one line on standard error, with exit status 1."""


@dataclass
class Input:
    name: str  # as the user gave it, or STDIN_NAME
    path: Path | None  # None for standard input
    target: Path | None  # the output file, with -o


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit
    status. Usage errors exit with status 2 from within argparse."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("a command is required: anonymize, restore or tokens")
    command: Callable[[argparse.Namespace], None] = args.run
    try:
        if args.command in ("anonymize", "restore"):
            args.inputs = _plan_inputs(args.parser, args)
        command(args)
    except (CommandError, SessionError) as error:
        return _fail(str(error))
    except BrokenPipeError:
        # The reader went away (as `velk restore | head` does): stop quietly.
        _silence_stdout()
        return 1
    except OSError as error:
        return _fail(_describe(error))
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # a bug: still one line, and status 1
        if os.environ.get("VELK_DEBUG"):
            raise
        return _fail(f"unexpected error: {type(error).__name__}: {error}")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velk",
        description="Anonymize developer text into stable tokens such as [PERSON_1], and "
        "restore it, keeping the token map in a session file.",
    )
    parser.add_argument("--version", action="version", version=f"velk {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def add(
        name: str, help_: str, run: Callable[[argparse.Namespace], None]
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_, description=help_)
        sub.set_defaults(run=run, parser=sub)
        sub.add_argument("-s", "--session", required=True, metavar="SESSION",
                         help="the session file (JSON) that holds the token map")
        return sub

    def add_files(sub: argparse.ArgumentParser, verb: str) -> None:
        sub.add_argument("files", nargs="*", metavar="FILE",
                         help=f"files to {verb} (default: standard input; - is standard input)")
        sub.add_argument("-o", "--output-dir", metavar="DIR",
                         help="write each result to DIR under its input's name (required for "
                         "several files; created if missing)")

    anonymize_command = add("anonymize", "Anonymize text with the session's map, extending "
                            "it; the session file is created if needed.", _anonymize)
    add_files(anonymize_command, "anonymize")
    anonymize_command.add_argument(
        "--no-extra", dest="extra", action="store_false",
        help="only the module's own detectors: no extra phone, key, person, company or place "
        "detection")
    add_files(add("restore", "Restore the tokens of a text from the session. From standard "
                  "input the text is restored as it arrives.", _restore), "restore")
    add("tokens", "List the session's tokens, their kinds and texts.", _tokens)
    return parser


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velk_anonymizer")
    except PackageNotFoundError:
        return "unknown"


def _plan_inputs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[Input]:
    """The inputs and their output files; usage errors exit with status 2."""
    files: list[str] = args.files
    if len(files) > 1 and "-" in files:
        parser.error("standard input (-) cannot be one of several inputs")
    if len(files) > 1 and args.output_dir is None:
        parser.error("several files need -o DIR")
    if not files or files == ["-"]:
        if args.output_dir is not None:
            parser.error("-o DIR needs input files (standard input has no name to keep)")
        return [Input(STDIN_NAME, None, None)]
    if args.output_dir is None:
        return [Input(files[0], Path(files[0]), None)]
    folder = Path(args.output_dir)
    if folder.exists() and not folder.is_dir():
        raise CommandError(f"output folder '{folder}' is not a folder")
    inputs: list[Input] = []
    taken: dict[Path, str] = {}
    for name in files:
        target = folder / Path(name).name
        if target in taken:
            raise CommandError(f"inputs '{taken[target]}' and '{name}' would both be written to "
                               f"'{target}'")
        if target.is_dir():
            raise CommandError(f"cannot write '{target}': it is a folder")
        taken[target] = name
        inputs.append(Input(name, Path(name), target))
    return inputs


def _read(item: Input) -> str:
    """The input's text; a file that cannot be read or is not UTF-8 is an error naming it."""
    if item.path is None:
        data = _stdin_binary().read()
    else:
        try:
            data = item.path.read_bytes()
        except OSError as error:
            raise CommandError(f"cannot read '{item.name}': {error.strerror}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _not_utf8(item.name, error, error.start) from None


def _not_utf8(name: str, error: UnicodeDecodeError, offset: int) -> CommandError:
    shown = name if name == STDIN_NAME else f"'{name}'"
    return CommandError(f"{shown} is not UTF-8 text: {error.reason} at byte offset {offset}")


def _stdin_binary() -> BinaryIO:
    if sys.stdin is None:
        raise CommandError("no standard input")
    return sys.stdin.buffer


def _progress(items: list[T], description: str) -> Iterable[T]:
    """``items``, with a progress bar on standard error when there are several and standard
    error is a terminal."""
    if len(items) > 1 and sys.stderr is not None and sys.stderr.isatty():
        from tqdm import tqdm  # only here: it takes a while to import

        return tqdm(items, desc=description, unit="file", file=sys.stderr)
    return items


def _deliver(inputs: list[Input], texts: list[str], before_commit: Callable[[], None]) -> None:
    """Writes the results: with -o, every output file is staged in full, then
    ``before_commit`` runs (the session is saved), then the files are put in place; on any
    error before that nothing is left behind. Without -o, ``before_commit`` runs and the one
    result goes to standard output."""
    if inputs[0].target is None:
        before_commit()
        _write_stdout(texts[0])
        return
    folder = inputs[0].target.parent
    created = not folder.exists()
    staged: list[StagedFile] = []
    try:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise CommandError(
                f"cannot create output folder '{folder}': {error.strerror}"
            ) from None
        for item, text in zip(inputs, texts):
            assert item.target is not None
            try:
                staged.append(StagedFile(item.target, text.encode("utf-8")))
            except OSError as error:
                raise CommandError(f"cannot write '{item.target}': {error.strerror}") from None
        before_commit()
    except BaseException:
        for file in staged:
            file.discard()
        if created:
            try:
                folder.rmdir()
            except OSError:
                pass
        raise
    for file in staged:
        file.commit()


def _write_stdout(text: str) -> None:
    if sys.stdout is None:
        raise CommandError("no standard output")
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.buffer.flush()


def _anonymize(args: argparse.Namespace) -> None:
    inputs: list[Input] = args.inputs
    originals = [_read(item) for item in inputs]  # before the lock: reading may wait on a pipe
    session = SessionFile(args.session)
    with session.locked():
        base = session.read_or_none()
        token_map = va.TokenMap() if base is None else base
        texts: list[str] = []
        for text in _progress(originals, "anonymize"):
            result = anonymize(text, token_map, extra=args.extra)
            token_map = result.token_map
            texts.append(result.text)
        changed = base is None or len(token_map) != len(base)
        final_map = token_map

        def save() -> None:
            if changed:
                session.write(final_map)

        if inputs[0].target is not None:
            _deliver(inputs, texts, save)
            return
        save()
    _write_stdout(texts[0])  # after the lock: the reader may be slow


def _restore(args: argparse.Namespace) -> None:
    inputs: list[Input] = args.inputs
    token_map = SessionFile(args.session).read()
    if inputs[0].path is None:
        _restore_stream(token_map)
        return
    originals = [_read(item) for item in inputs]
    texts = [va.deanonymize(text, token_map) for text in _progress(originals, "restore")]
    _deliver(inputs, texts, lambda: None)


def _restore_stream(token_map: va.TokenMap) -> None:
    """Restores standard input to standard output as it arrives."""
    stdin = _stdin_binary()
    fd = stdin.fileno()
    if sys.stdout is None:
        raise CommandError("no standard output")
    out = sys.stdout.buffer
    restorer = StreamRestorer(token_map)
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    consumed = 0  # bytes given to the decoder so far
    while True:
        data = os.read(fd, READ_SIZE)
        pending = len(decoder.getstate()[0])
        try:
            text = decoder.decode(data, final=not data)
        except UnicodeDecodeError as error:
            raise _not_utf8(STDIN_NAME, error, consumed - pending + error.start) from None
        consumed += len(data)
        piece = restorer.feed(text) if data else restorer.feed(text) + restorer.flush()
        if piece:
            out.write(piece.encode("utf-8"))
            out.flush()
        if not data:
            return


_TOKEN = re.compile(r"\[([A-Z]+)_([0-9]+)\]")


def _tokens(args: argparse.Namespace) -> None:
    token_map = SessionFile(args.session).read()
    reverse: dict[str, str] = json.loads(token_map.to_session_json())["tokenMap"]["reverse"]
    kinds = {
        va.EntityType.token_prefix(kind): (int(kind), name)
        for name, kind in vars(va.EntityType).items()
        if isinstance(kind, va.EntityType)
    }
    unknown = (len(kinds), "-")

    def order(token: str) -> tuple[int, int, str]:
        match = _TOKEN.fullmatch(token)
        if match is None:
            return (len(kinds) + 1, 0, token)
        return (kinds.get(match[1], unknown)[0], int(match[2]), token)

    def kind(token: str) -> str:
        match = _TOKEN.fullmatch(token)
        return kinds.get(match[1], unknown)[1] if match else "-"

    rows = [("TOKEN", "KIND", "TEXT")]
    rows += [
        (_shown(token), kind(token), _shown(reverse[token]))
        for token in sorted(reverse, key=order)
    ]
    widths = [max(_width(row[column]) for row in rows) for column in range(2)]
    lines = [
        "  ".join(cell + " " * (width - _width(cell)) for cell, width in zip(row[:2], widths))
        + "  " + row[2]
        for row in rows
    ]
    _write_stdout("".join(line.rstrip(" ") + "\n" for line in lines))


def _shown(text: str) -> str:
    """``text`` on one line: control and other unprintable characters as escapes."""
    escapes = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\\": "\\\\"}
    out = []
    for char in text:
        if char in escapes:
            out.append(escapes[char])
        elif char.isprintable():
            out.append(char)
        else:
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else
                       f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    return "".join(out)


def _width(text: str) -> int:
    """Terminal columns: wide East Asian characters take two."""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def _describe(error: OSError) -> str:
    if error.filename is not None:
        return f"'{error.filename}': {error.strerror}"
    return error.strerror or str(error)


def _fail(message: str) -> int:
    if sys.stderr is not None:
        sys.stderr.write(f"velk: {message}\n")
        sys.stderr.flush()
    return 1


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass
