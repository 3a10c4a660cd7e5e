"""The command line: ``velk anonymize``, ``velk restore``, ``velk tokens`` and ``velk corpus``.

Exit status 0 on success, 2 for usage errors (argparse's message), 1 for anything else with one
line on standard error that starts with ``velk:``. Outputs to files are written whole or not at
all, and on any error the session is left unchanged.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import json
import os
import re
import sys
import unicodedata
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, TypeVar

import velk_anonymizer as va

from velk._files import StagedFile, StagedWriter
from velk.corpus import Codec, CorpusError, JsonLines, JsonLinesFile, LocalProcesses, run
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
        parser.error("a command is required: anonymize, restore, tokens or corpus")
    command: Callable[[argparse.Namespace], None] = args.run
    try:
        if args.command in ("anonymize", "restore"):
            args.inputs = _plan_inputs(args.parser, args)
        command(args)
    except (CommandError, SessionError, CorpusError) as error:
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
    _add_corpus(add("corpus", "Anonymize a string field of every record of a JSON Lines file "
                    "with one map, on several processes or a Dask cluster, extending the "
                    "session; the session file is created if needed.", _corpus))
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


def _add_corpus(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("input", metavar="IN.jsonl", help="the records (read twice: a file)")
    sub.add_argument("-o", "--output", required=True, metavar="OUT.jsonl",
                     help="where to write the records, in the same order")
    sub.add_argument("--field", required=True, metavar="NAME",
                     help="the string field to anonymize; other fields are kept")
    engine = sub.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=_positive, metavar="N",
                        help="run on N local worker processes (default: in this process)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster whose scheduler is at ADDRESS "
                        "(needs velk_anonymizer[dask])")
    sub.add_argument("--batch-size", type=_positive, default=1024, metavar="N",
                     help="records per task, at most (default: 1024); a task also takes at "
                     f"most about {_BATCH_BYTES >> 20} MiB of input")
    sub.add_argument("--no-extra", dest="extra", action="store_false",
                     help="only the built-in detectors, without velk.extra's")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


# Input per task, at most (and one line): large tasks cost this process little per record, and
# the tasks in flight (a few per worker) hold little memory even when the records are large.
_BATCH_BYTES = 4 << 20


def _corpus(args: argparse.Namespace) -> None:
    """Streams the input through ``velk.corpus.run`` twice; the output is staged beside its
    target and put in place only after the session has been saved."""
    from concurrent.futures.process import BrokenProcessPool

    source = Path(args.input)
    target = Path(args.output)
    if not source.is_file():
        raise CommandError(f"cannot read '{source}': " + (
            "it is not a file (it is read twice)" if source.exists() else "no such file"))
    if target.is_dir():
        raise CommandError(f"cannot write '{target}': it is a folder")
    codec, batches = _corpus_input(args, source)

    with contextlib.ExitStack() as stack:
        executor: Executor | LocalProcesses | None = None
        if args.workers is not None:
            executor = LocalProcesses(args.workers)
        elif args.scheduler is not None:
            executor = _dask_executor(stack, args.scheduler)
        bars = stack.enter_context(_Bars())
        session = SessionFile(args.session)
        with session.locked():
            base = session.read_or_none()
            try:
                output = StagedWriter(target)
            except OSError as error:
                raise CommandError(f"cannot write '{target}': {error.strerror}") from None
            try:
                # Written beside the session while the records are still being substituted.
                document = session.staged()
            except BaseException:
                output.discard()
                raise
            try:
                run(codec, batches, output.write, existing=base, executor=executor,
                    extra=args.extra, progress=bars.update, notice=bars.notice,
                    document=document)
                document.commit()
            except BrokenProcessPool:
                output.discard()
                document.discard()
                raise CommandError("a worker process ended unexpectedly; nothing was written")\
                    from None
            except BaseException:
                output.discard()
                document.discard()
                raise
            output.commit()


def _corpus_input(
    args: argparse.Namespace, source: Path
) -> tuple[Codec[Any, bytes], Callable[[], Iterable[Any]]]:
    """How the records reach the workers, and the batches (each time they are asked for)."""
    batch_size: int = args.batch_size
    if args.workers is not None:
        # Local workers read their batches from the file: this process, which shares the two
        # cores with them, only looks for line ends, once.
        file = JsonLinesFile(os.path.abspath(source), args.field, args.input)
        spans: list[tuple[int, int, int, int]] | None = None

        def spans_twice() -> Iterator[tuple[int, int, int, int]]:
            nonlocal spans
            if spans is not None:
                yield from spans
                return
            found = []
            for span in file.spans(batch_size, _BATCH_BYTES):
                found.append(span)
                yield span
            spans = found

        return file, spans_twice

    def lines() -> Iterator[tuple[int, list[bytes]]]:
        with source.open("rb") as records:
            first = 1
            while chunk := records.readlines(_BATCH_BYTES):
                for start in range(0, len(chunk), batch_size):
                    batch = chunk[start:start + batch_size]
                    yield first, batch
                    first += len(batch)

    return JsonLines(args.field, args.input), lines


def _dask_executor(stack: contextlib.ExitStack, address: str) -> Executor:
    try:
        from distributed import Client
    except ImportError:
        raise CommandError("--scheduler needs Dask: pip install 'velk_anonymizer[dask]'") \
            from None
    try:
        client = Client(address, timeout="30s")  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError) as error:
        raise CommandError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    stack.enter_context(client)
    # Hashing every batch so that Dask could reuse a repeated one costs more than it saves.
    executor: Executor = client.get_executor(pure=False)  # type: ignore[no-untyped-call]
    return executor


class _Bars:
    """Progress bars (documents per second) on standard error when it is a terminal: one for
    detection, then one for substitution, whose total the first one counted."""

    def __init__(self) -> None:
        self.bars: dict[str, Any] = {}
        self.detected = 0
        # What tqdm decides by itself (disable=None), decided here: elsewhere than on a
        # terminal, tqdm is not even imported: a few hundredths of a second of CPU time.
        try:
            self.shown = sys.stderr is not None and sys.stderr.isatty()
        except ValueError:  # closed
            self.shown = False

    def __enter__(self) -> _Bars:
        return self

    def __exit__(self, *exc: object) -> None:
        for bar in self.bars.values():
            bar.close()

    def update(self, step: str, documents: int) -> None:
        if step == "detect":
            self.detected += documents
        if not self.shown:
            return
        bar = self.bars.get(step)
        if bar is None:
            from tqdm import tqdm  # only here: it takes a while to import

            # No monitor thread: worker processes are forked from this one, and a thread
            # would make that unsafe.
            tqdm.monitor_interval = 0
            bar = tqdm(desc=step, unit="doc", file=sys.stderr, disable=None, smoothing=0.1,
                       total=self.detected if step == "substitute" else None)
            self.bars[step] = bar
        bar.update(documents)

    def notice(self, message: str) -> None:
        """A line on standard error that leaves the bars whole."""
        if self.bars:
            from tqdm import tqdm

            tqdm.write(f"velk: {message}", file=sys.stderr)
        elif sys.stderr is not None:
            sys.stderr.write(f"velk: {message}\n")
            sys.stderr.flush()


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
