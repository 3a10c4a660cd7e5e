"""Counts detected entities left standing in the clear by `anonymize`.

For each text, every entity of `result.entities` is looked for in `result.text` outside code:
an occurrence that stands as a word of its own (no ASCII letter, digit or underscore right
before it, and none right after it when the entity text ends in one) is a detected-but-left
place. Short capitals (OR, IN) count only as written, since they match only so; other texts
count in any case. The corpora are 1,000 paragraphs of real text from /usr/share/doc and 1,000
generated developer chat messages (bench/make_corpus.py), both from a fixed seed.

    .venv/bin/python bench/leak_check.py            # the module installed in this interpreter
    .venv/bin/python bench/leak_check.py --show 5   # also print a few of the places

Prints, per corpus, how many texts leave at least one place and how many places there are,
per 1,000 texts, as JSON. Run it with two interpreters (two builds) to compare them.
"""

from __future__ import annotations

import argparse
import json
import random
import re
import sys
from pathlib import Path

import velk_anonymizer as va

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_corpus import ChatGenerator, read_doc_paragraphs  # noqa: E402

TEXTS = 1000
SEED = 11


def code_regions(text: str) -> list[tuple[int, int]]:
    """Fenced blocks (three or more backticks or tildes at a line start, up to three spaces
    in) and inline backtick spans on one line, as character ranges."""
    regions: list[tuple[int, int]] = []
    p = 0
    n = len(text)
    while p < n:
        if p == 0 or text[p - 1] == "\n":
            f = p
            while f < n and f < p + 3 and text[f] == " ":
                f += 1
            if f < n and text[f] in "`~":
                c = text[f]
                run = len(text[f:]) - len(text[f:].lstrip(c))
                if run >= 3:
                    end = n
                    line = text.find("\n", f + run)
                    line = n if line < 0 else line + 1
                    while line < n:
                        g = line
                        while g < n and g < line + 3 and text[g] == " ":
                            g += 1
                        close = len(text[g:]) - len(text[g:].lstrip(c))
                        nxt = text.find("\n", g)
                        nxt = n if nxt < 0 else nxt + 1
                        if close >= run:
                            end = nxt
                            break
                        line = nxt
                    regions.append((p, end))
                    p = end
                    continue
        if text[p] == "`":
            q = p + 1
            while q < n and text[q] != "\n":
                if text[q] == "`":
                    backslashes = 0
                    k = q
                    while k > p + 1 and text[k - 1] == "\\":
                        backslashes += 1
                        k -= 1
                    if backslashes % 2 == 0:
                        break
                q += 1
            if q < n and text[q] == "`":
                regions.append((p, q + 1))
                p = q + 1
                continue
        p += 1
    return regions


def outside_code(text: str) -> list[tuple[int, str]]:
    """The stretches of `text` outside code, with their offsets."""
    pieces = []
    cursor = 0
    for start, end in code_regions(text):
        pieces.append((cursor, text[cursor:start]))
        cursor = end
    pieces.append((cursor, text[cursor:]))
    return pieces


WORD = re.compile(r"[A-Za-z0-9_]")


def left_places(result) -> list[str]:
    places = []
    stretches = outside_code(result.text)
    for entity in result.entities:
        needle = entity.text
        if not needle:
            continue
        exact = re.fullmatch(r"[A-Z]{1,3}", needle) is not None
        pattern = re.compile(re.escape(needle), 0 if exact else re.IGNORECASE)
        ends_in_word = WORD.fullmatch(needle[-1]) is not None
        for _, stretch in stretches:
            for m in pattern.finditer(stretch):
                before = stretch[m.start() - 1] if m.start() > 0 else ""
                after = stretch[m.end()] if m.end() < len(stretch) else ""
                if before and WORD.fullmatch(before):
                    continue
                if ends_in_word and after and WORD.fullmatch(after):
                    continue
                context = stretch[max(0, m.start() - 30):m.end() + 30]
                places.append(f"{entity!r} in {context!r}")
    return places


def chat_message(gen: ChatGenerator, rng: random.Random) -> str:
    """A generated message, often with one of the shapes developers write around entities:
    addresses after '@' or '/', URLs ending in '/', '.' or '?', quoted names, a name right
    before a fenced block, state codes."""
    shapes = [
        lambda: f"ssh root@{gen.ip()} and check",
        lambda: f"repo {gen.cast.company()[0].lower()}/{gen.cast.project()} has it",
        lambda: f"see {gen.url()}/ now",
        lambda: f"Docs: {gen.url()}.",
        lambda: f"reset at {gen.url()}?uid={rng.randrange(99)}?",
        lambda: f"postgres://app@db.{gen.domain()}/prod",
        lambda: f"medium.com/{gen.handle()}",
        lambda: f'ask "{gen.name()}" today',
        lambda: f"Thanks {gen.cast.person()[0]}\n```\nTraceback (most recent call last):\n```\n",
        lambda: f"We moved from {gen.place_phrase()} last year",
    ]
    text = gen.message()
    if rng.random() < 0.6:
        text += " " + rng.choice(shapes)()
    return text


def corpora() -> dict[str, list[str]]:
    rng = random.Random(SEED)
    paragraphs, _ = read_doc_paragraphs(Path("/usr/share/doc"), 4_000_000)
    docs = rng.sample(paragraphs, min(TEXTS, len(paragraphs)))
    chat_gen = ChatGenerator(random.Random(SEED))
    chat = [chat_message(chat_gen, rng) for _ in range(TEXTS)]
    return {"docs": docs, "chat": chat}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--show", type=int, default=0, help="print this many places per corpus")
    args = parser.parse_args(argv)
    report = {}
    for name, texts in corpora().items():
        leaky = 0
        total = 0
        shown = 0
        for text in texts:
            places = left_places(va.anonymize(text))
            leaky += bool(places)
            total += len(places)
            for place in places:
                if shown < args.show:
                    print(f"{name}: {place}", file=sys.stderr)
                    shown += 1
        scale = 1000 / max(1, len(texts))
        report[name] = {"texts": len(texts), "texts_with_left_places_per_1000": round(leaky * scale, 1),
                        "left_places_per_1000": round(total * scale, 1)}
    print(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
