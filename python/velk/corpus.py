"""Anonymizing a corpus: :func:`anonymize_corpus` and :class:`CorpusResult`.

A corpus gets one set of tokens, as if its documents had been anonymized one after another
with the map passed on, yet the expensive work runs on as many processes or machines as an
executor offers. Three steps:

1. Detection, in parallel, a batch of documents per task: each document's entities (those of
   ``anonymize`` with no map) and the token-shaped texts it holds.
2. Numbering, in this process and in document order: the document's token-shaped texts that
   the map does not know are reserved (as ``anonymize`` reserves them), then its entities go
   through ``build_token_map``. Maps are layered, so this costs what it adds, not the map's
   size.
3. Substitution, in parallel: every document is anonymized with the final map, which each
   worker receives once.

The result does not depend on the executor, the number of workers or the batch size.

On two cores, this process shares the CPU with the workers, so every second it spends is a
second they lose: it only moves bytes and numbers entities. Records are parsed and written
again on the workers, detection comes back in a compact form (texts, one byte per kind), and
the session document is written once, for the workers and for the session file alike.
"""

from __future__ import annotations

import importlib
import itertools
import json
import re
import uuid
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future
from dataclasses import dataclass, field
from typing import Any, Protocol, TypeVar

import velk_anonymizer as va

__all__ = ["CorpusError", "CorpusResult", "anonymize_corpus"]

Batch = TypeVar("Batch")
Out = TypeVar("Out")
R = TypeVar("R")
BatchIn = TypeVar("BatchIn", contravariant=True)
OutCo = TypeVar("OutCo", covariant=True)

# What detection reports for one batch: the texts of its documents' entities in document
# order, leaving out texts already reported earlier in the batch; their kinds, one byte each
# (the kind's number); and for each document that holds token-shaped texts, how many of those
# entity texts come before the document's own, and its token-shaped texts.
Found = tuple[list[str], bytes, list[tuple[int, list[str]]]]

# A superset of the module's token syntax ([CAPITALS_DIGITS], any Unicode decimal digits):
# whatever lies between the underscore and the bracket is left to the module to judge, so
# that a digit this interpreter's Unicode tables do not know yet is not missed. A candidate
# holds no bracket after its first, so every token of a text is a whole candidate.
_CANDIDATE = re.compile(r"\[[A-Z]+_[^\[\]\s]+\]")
_TOKEN = re.compile(r"\[[A-Z]+_\d+\]")

_KINDS: dict[int, va.EntityType] = {
    int(value): value for value in vars(va.EntityType).values()
    if isinstance(value, va.EntityType)
}

class CorpusError(ValueError):
    """A document that cannot be anonymized; the message names it (its index or line)."""


@dataclass(frozen=True)
class CorpusResult:
    """The anonymized documents, in input order, and the map that holds all their tokens."""

    texts: list[str]
    token_map: va.TokenMap


def anonymize_corpus(
    docs: Sequence[str],
    existing: va.TokenMap | None = None,
    *,
    executor: Executor | None = None,
    extra: bool = True,
    batch_size: int = 256,
) -> CorpusResult:
    """Anonymizes every document of ``docs`` with one map, extending ``existing``.

    Tokens are numbered as if ``build_token_map`` were applied to each document's entities in
    document order, starting from ``existing``; each text is ``anonymize`` of its document with
    the final map. With ``extra``, the entities of ``velk.extra_entities`` count too (passed as
    custom entities). ``executor`` (any ``concurrent.futures.Executor``: a process pool, or a
    Dask cluster's ``Client.get_executor()``) runs the batches of ``batch_size`` documents;
    without one, everything runs in this process. Any executor and any batch size give the same
    result.
    """
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, not {batch_size}")

    def batches() -> Iterator[tuple[int, list[str]]]:
        for start in range(0, len(docs), batch_size):
            yield start, list(docs[start:start + batch_size])

    codec = _Texts()
    texts: list[str] = []

    def collect(out: list[str]) -> None:
        texts.extend(out)

    final = run(codec, batches, collect, existing=existing, executor=executor,
                extra=extra)
    return CorpusResult(texts, final.token_map)


# -------------------------------------------------------------------------------------------
# The engine, shared with the command line


class Codec(Protocol[BatchIn, OutCo]):
    """How a batch is turned into documents and the anonymized documents into output. It
    travels to the workers with every task, so it must pickle."""

    def documents(self, batch: BatchIn) -> tuple[list[str], Any]:
        """The batch's documents, and what ``output`` needs besides their new texts."""

    def size(self, batch: BatchIn) -> int: ...

    def output(self, context: Any, texts: list[str]) -> OutCo: ...


class _Texts:
    """Batches of plain documents: (index of the first, documents)."""

    def documents(self, batch: tuple[int, list[str]]) -> tuple[list[str], None]:
        start, docs = batch
        for offset, doc in enumerate(docs):
            if not isinstance(doc, str):
                raise CorpusError(f"document {start + offset} is a {type(doc).__name__}, "
                                  "not a str")
        return docs, None

    def size(self, batch: tuple[int, list[str]]) -> int:
        return len(batch[1])

    def output(self, context: None, texts: list[str]) -> list[str]:
        return texts


class JsonLines:
    """Batches of JSON Lines: (number of the first line, the lines as bytes). Each line is a
    JSON object whose string field ``field`` is the document; the output is the lines with that
    field anonymized, UTF-8, one per line. ``name`` names the input in errors."""

    def __init__(self, field: str, name: str) -> None:
        self.field = field
        self.name = name

    def documents(self, batch: tuple[int, list[bytes]]) -> tuple[list[str], list[Any]]:
        first, lines = batch
        records: list[Any] = []
        texts: list[str] = []
        for number, line in enumerate(lines, first):
            try:
                record = json.loads(line.rstrip(b"\r\n"))
            except UnicodeDecodeError as error:
                raise self._error(number, f"is not UTF-8 text ({error.reason} at byte offset "
                                          f"{error.start} of the line)") from None
            except json.JSONDecodeError as error:
                raise self._error(number, f"is not JSON: {error.msg} (column {error.colno})") \
                    from None
            if not isinstance(record, dict):
                raise self._error(number, f"is not a JSON object but {_json_kind(record)}")
            text = record.get(self.field)
            if not isinstance(text, str):
                reason = "has no" if self.field not in record else \
                    f"has {_json_kind(text)} in its"
                raise self._error(number, f"{reason} string field {self.field!r}")
            records.append(record)
            texts.append(text)
        return texts, records

    def size(self, batch: tuple[int, list[bytes]]) -> int:
        return len(batch[1])

    def output(self, context: list[Any], texts: list[str]) -> bytes:
        out = []
        for record, text in zip(context, texts):
            record[self.field] = text
            out.append(json.dumps(record, ensure_ascii=False))
        out.append("")
        return "\n".join(out).encode("utf-8")

    def _error(self, number: int, reason: str) -> CorpusError:
        return CorpusError(f"'{self.name}' line {number} {reason}")


def _json_kind(value: object) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null"}
    return kinds.get(type(value), type(value).__name__)


@dataclass
class FinalMap:
    """The map that holds all the corpus's tokens, with its session document (UTF-8), written
    once whoever asks for it first: the workers or the session file."""

    token_map: va.TokenMap
    _document: bytes | None = field(default=None, repr=False)

    def document(self) -> bytes:
        if self._document is None:
            self._document = self.token_map.to_session_json().encode("utf-8")
        return self._document


def run(
    codec: Codec[Batch, Out],
    batches: Callable[[], Iterable[Batch]],
    deliver: Callable[[Out], None],
    *,
    existing: va.TokenMap | None,
    executor: Executor | None,
    extra: bool,
    progress: Callable[[str, int], None] | None = None,
) -> FinalMap:
    """Anonymizes the corpus that ``batches()`` yields (called twice: once to detect, once to
    substitute), passing each batch's output to ``deliver`` in order; returns the final map.
    ``progress(step, documents)`` is told of every finished batch."""
    if extra:
        _extra_detector()  # fails here, before any work, when it is not installed
    tasks = _Tasks(executor)
    numbering = _Numbering(existing)
    calls = ((batch, _detect_batch, (codec, batch, extra)) for batch in batches())
    for batch, found in tasks.ordered(calls):
        numbering.add(*found)
        if progress is not None:
            progress("detect", codec.size(batch))
    final = FinalMap(numbering.finish())

    for batch, out in tasks.ordered_with_map(final, codec, batches(), extra):
        deliver(out)
        if progress is not None:
            progress("substitute", codec.size(batch))
    return final


def _extra_detector() -> Callable[[str], list[va.Entity]]:
    # Imported by name, when asked for: the extra detectors cost time to load and are not
    # needed without them.
    try:
        module = importlib.import_module("velk.extra")
    except ImportError as error:
        raise CorpusError(f"extra detection is not available ({error})") from None
    detector: Callable[[str], list[va.Entity]] = module.extra_entities
    return detector


def _detect_batch(codec: Codec[Batch, Any], batch: Batch, extra: bool) -> Found:
    """Detection for one batch, on a worker."""
    detector = _extra_detector() if extra else None
    seen: set[str] = set()
    texts: list[str] = []
    kinds = bytearray()
    reservations: list[tuple[int, list[str]]] = []
    for doc in codec.documents(batch)[0]:
        if detector is None:
            entities = va.anonymize(doc).entities
        else:
            entities = va.anonymize_with_custom(doc, custom_entities=detector(doc)).entities
        if "_" in doc:
            candidates = _CANDIDATE.findall(doc)
            if candidates:
                reservations.append((len(texts), list(dict.fromkeys(candidates))))
        # A text already numbered is left as it is by build_token_map (whatever its kind), so
        # a repeat need not travel back.
        for entity in entities:
            text = entity.text
            if text not in seen:
                seen.add(text)
                texts.append(text)
                kinds.append(int(entity.entity_type))
    return texts, bytes(kinds), reservations


def _substitute(codec: Codec[Batch, Out], batch: Batch, token_map: va.TokenMap,
                extra: bool) -> Out:
    detector = _extra_detector() if extra else None
    docs, context = codec.documents(batch)
    texts = []
    for doc in docs:
        if detector is None:
            texts.append(va.anonymize(doc, existing=token_map).text)
        else:
            texts.append(va.anonymize_with_custom(doc, existing=token_map,
                                                  custom_entities=detector(doc)).text)
    return codec.output(context, texts)


class _Numbering:
    """The map as the documents' entities arrive in document order.

    Entities wait until a reservation or the end needs the map: one ``build_token_map`` call
    over many entities costs much less than many calls over few, since each call also pays for
    the size of the map it extends. A text that an earlier batch reported does not wait again
    (``build_token_map`` would leave it as it is), so what waits is bounded by the final map's
    size, and so is the cost of the one call.
    """

    def __init__(self, existing: va.TokenMap | None) -> None:
        self.map = existing if existing is not None else va.TokenMap()
        self.numbered: set[str] = set()
        self.pending: list[va.Entity] = []

    def add(self, texts: list[str], kinds: bytes,
            reservations: list[tuple[int, list[str]]]) -> None:
        start = 0
        for before, candidates in reservations:
            self._wait(texts[start:before], kinds[start:before])
            self._number()  # earlier documents first: a reservation moves later numbers
            self._reserve(candidates)
            start = before
        self._wait(texts[start:] if start else texts, kinds[start:] if start else kinds)

    def finish(self) -> va.TokenMap:
        self._number()
        return self.map

    def _wait(self, texts: list[str], kinds: bytes) -> None:
        # Whole batches at a time, without a Python statement per entity: this runs beside the
        # workers and takes its CPU time from them.
        numbered = self.numbered
        fresh = [text not in numbered for text in texts]
        numbered.update(texts)
        self.pending.extend(map(va.Entity, itertools.compress(texts, fresh),
                                map(_KINDS.__getitem__, itertools.compress(kinds, fresh))))

    def _number(self) -> None:
        if self.pending:
            self.map = va.build_token_map(self.pending, existing=self.map)
            self.pending = []

    def _reserve(self, candidates: list[str]) -> None:
        """Reserves the candidates that are tokens the map does not hold, as ``anonymize``
        does with the token-shaped texts of its input: anonymizing just those texts does
        exactly that, unless a detector finds something in them (a long run of digits)."""
        reserved = va.anonymize("\n".join(candidates), existing=self.map)
        if not reserved.entities:
            self.map = reserved.token_map
            return
        # Rare: add the reverse entries to the session document instead.
        document = json.loads(self.map.to_session_json())
        reverse: dict[str, str] = document["tokenMap"]["reverse"]
        for candidate in candidates:
            if _TOKEN.fullmatch(candidate) and candidate not in reverse:
                reverse[candidate] = candidate
        self.map = va.TokenMap.from_session_json(json.dumps(document, ensure_ascii=False))


# -------------------------------------------------------------------------------------------
# Tasks and the final map on workers


@dataclass(frozen=True)
class _MapRef:
    """The final map as it travels to workers: a key of its own, and its session document
    (UTF-8) only when the worker may not have it yet."""

    key: str
    document: bytes | None


class _SharedMap:
    def __init__(self, final: FinalMap) -> None:
        self.map = final.token_map
        # A random key names this map: a digest would cost a pass over the document, and two
        # runs that happen to reach the same map lose nothing by each sending it.
        self.full = _MapRef(uuid.uuid4().hex, final.document())
        self.key_only = _MapRef(self.full.key, None)


# The map a worker process last received, kept so that later batches need only its key. One
# map at a time: a worker serves one corpus run after another.
_worker_map: dict[str, va.TokenMap] = {}


def _substitute_batch(codec: Codec[Batch, Out], batch: Batch, ref: _MapRef,
                      extra: bool) -> tuple[bool, Out | None]:
    """Substitution for one batch, on a worker: (False, None) when the worker does not hold the
    map yet and the task carried only its digest."""
    token_map = _worker_map.get(ref.key)
    if token_map is None:
        if ref.document is None:
            return False, None
        token_map = va.TokenMap.from_session_json(ref.document.decode("utf-8"))
        _worker_map.clear()
        _worker_map[ref.key] = token_map
    return True, _substitute(codec, batch, token_map, extra)


class _Tasks:
    """Runs tasks on the executor (or in this process) with a bounded number in flight,
    giving results back in submission order."""

    def __init__(self, executor: Executor | None) -> None:
        self.executor = executor
        self.workers = _workers(executor)
        # Enough batches in flight to keep every worker busy while results come back in
        # order, few enough that memory stays bounded by them.
        self.window = 4 * self.workers + 4

    def ordered(
        self, calls: Iterable[tuple[Batch, Callable[..., R], tuple[Any, ...]]]
    ) -> Iterator[tuple[Batch, R]]:
        """(batch, result) for every (batch, function, arguments), in order."""
        if self.executor is None:
            for batch, fn, args in calls:
                yield batch, fn(*args)
            return
        for batch, future in self._submitted(calls):
            yield batch, future.result()

    def ordered_with_map(self, final: FinalMap, codec: Codec[Batch, Out],
                         batches: Iterable[Batch], extra: bool) -> Iterator[tuple[Batch, Out]]:
        if self.executor is None:
            for batch in batches:
                yield batch, _substitute(codec, batch, final.token_map, extra)
            return
        executor = self.executor
        shared = _SharedMap(final)
        # The first batch for each worker goes out with the map, so that every worker is
        # likely to get it once; later batches carry only its key.
        calls = (
            (batch, _substitute_batch,
             (codec, batch, shared.full if number < self.workers else shared.key_only, extra))
            for number, batch in enumerate(batches)
        )
        for batch, future in self._submitted(calls):
            held, out = future.result()
            if not held:  # a worker that missed the first wave, or one started since
                held, out = executor.submit(_substitute_batch, codec, batch, shared.full,
                                            extra).result()
            assert held
            yield batch, out

    def _submitted(
        self, calls: Iterable[tuple[Any, Callable[..., Any], tuple[Any, ...]]]
    ) -> Iterator[tuple[Any, Future[Any]]]:
        """(payload, future) for every (payload, function, arguments), in order, with at most
        ``window`` futures pending; those still pending when the caller stops are cancelled."""
        assert self.executor is not None
        queue: deque[tuple[Any, Future[Any]]] = deque()
        try:
            for payload, fn, args in calls:
                queue.append((payload, self.executor.submit(fn, *args)))
                if len(queue) >= self.window:
                    yield queue.popleft()
            while queue:
                yield queue.popleft()
        finally:
            for _, future in queue:
                future.cancel()


def _workers(executor: Executor | None) -> int:
    """How many tasks the executor runs at once, where it says so (8 where it does not)."""
    workers = getattr(executor, "_max_workers", None)  # process and thread pools
    client = getattr(executor, "_client", None)  # a Dask client's executor
    if client is not None:
        try:
            workers = sum(client.nthreads().values())
        except Exception:  # a client that cannot say: the default below
            workers = None
    return workers if isinstance(workers, int) and workers >= 1 else 8
