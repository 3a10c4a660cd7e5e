"""Restoring a streamed text chunk by chunk: :class:`StreamRestorer`.

A model's reply arrives in chunks cut anywhere, so a token such as ``[PERSON_1]`` may arrive as
``[PERS`` + ``ON_1]``. The restorer emits, after each chunk, ``deanonymize`` of the longest
prefix of the text received so far that ends at a *safe cut*: a point that no occurrence of any
restorable key of the map can straddle, whatever text comes next. It holds back the rest.

Why that equals ``deanonymize`` of the whole text: deanonymize replaces occurrences of its keys
(longest key first, each in the parts of the original text that no earlier key replaced, without
searching restored texts again). When no occurrence of any key straddles a cut, every occurrence
lies wholly on one side of it, so each side is replaced exactly as it is within the whole text,
and the whole text's result is the two sides' results put together. The restorer never looks at
the replacement rules beyond that: the replacing itself is always done by ``deanonymize``.

A cut at ``c`` in the text received so far (``n`` characters) is safe when

* no suffix starting before ``c`` is a proper prefix of a key (such a suffix could still grow
  into an occurrence that straddles ``c``), and
* no whole occurrence of a key in the text starts before ``c`` and ends after it.

For maps of tokens (``[PREFIX_N]``) occurrences never overlap, so what is held back is at most a
suffix that could still become a known token: ordinary text, and ``[`` followed by anything that
cannot start a known token, go out at once. Hand-made sessions may hold keys of any shape; keys
that overlap themselves (such as ``aa``) may then hold back more, never too little.
"""

from __future__ import annotations

import json
import re

import velk_anonymizer as va

__all__ = ["StreamRestorer", "restorable_keys"]

# deanonymize skips an entry whose entity text holds a token. A token of ASCII digits is a token
# under any reading of "digit", so entries whose text holds one are surely skipped; any other
# entry counts as restorable here. Counting a skipped entry as restorable only holds back a
# little more text, never too little.
_TOKEN_IN_ENTITY = re.compile(r"\[[A-Z]+_[0-9]+\]")


def restorable_keys(token_map: va.TokenMap) -> frozenset[str]:
    """The reverse keys of ``token_map`` that ``deanonymize`` may replace (a superset of them).

    Normally tokens such as ``[PERSON_1]``; a hand-made session may hold other keys. The empty
    key is left out: it cannot straddle a cut.
    """
    document = json.loads(token_map.to_session_json())
    reverse: dict[str, str] = document["tokenMap"]["reverse"]
    return frozenset(
        key for key, entity in reverse.items() if key and not _TOKEN_IN_ENTITY.search(entity)
    )


class _Keys:
    """The restorable keys, indexed for finding safe cuts."""

    def __init__(self, keys: frozenset[str]) -> None:
        self.keys = keys
        self.lengths = tuple(sorted({len(key) for key in keys}))
        self.longest = self.lengths[-1] if self.lengths else 0
        self.first_chars = frozenset(key[0] for key in keys)
        # Every proper, non-empty prefix of a key.
        self.prefixes = frozenset(key[:end] for key in keys for end in range(1, len(key)))

    def growing_start(self, text: str) -> int:
        """The start of the longest suffix of ``text`` that could still grow into a key (a proper
        prefix of one), or ``len(text)`` when there is none."""
        n = len(text)
        for start in range(max(0, n - self.longest + 1), n):
            if text[start] in self.first_chars and text[start:] in self.prefixes:
                return start
        return n

    def straddling_start(self, text: str, cut: int) -> int | None:
        """The smallest start of a whole occurrence of a key in ``text`` that begins before
        ``cut`` and ends after it, if any."""
        n = len(text)
        for start in range(max(0, cut - self.longest + 1), cut):
            if text[start] not in self.first_chars:
                continue
            for length in self.lengths:
                end = start + length
                if end > n:
                    break
                if end > cut and text[start:end] in self.keys:
                    return start
        return None

    def safe_cut(self, text: str) -> int:
        """The largest safe cut in ``text`` (see the module's documentation)."""
        if not self.keys:
            return len(text)
        cut = self.growing_start(text)
        while cut > 0:
            start = self.straddling_start(text, cut)
            if start is None:
                break
            cut = start
        return cut


class StreamRestorer:
    """Restores a text that arrives in chunks, as soon as each part can be restored.

    ``feed(chunk)`` returns the restored text that can be emitted now and ``flush()`` the rest
    at the end. For every way of cutting a text into chunks, the concatenation of all outputs
    equals ``velk_anonymizer.deanonymize(whole_text, token_map)``, and no output ever holds a
    part of a known token. After ``flush()`` the restorer is ready for a new text.
    """

    def __init__(self, token_map: va.TokenMap) -> None:
        self._token_map = token_map
        self._keys = _Keys(restorable_keys(token_map))
        self._held = ""

    @property
    def token_map(self) -> va.TokenMap:
        """The map that the restorer restores with."""
        return self._token_map

    @property
    def held_back(self) -> str:
        """The text received but not emitted yet, as it arrived (not restored)."""
        return self._held

    def feed(self, chunk: str) -> str:
        """Takes the next chunk; returns the restored text that can be emitted now."""
        if not isinstance(chunk, str):
            raise TypeError(f"chunk must be str, not {type(chunk).__name__}")
        text = self._held + chunk
        cut = self._keys.safe_cut(text)
        restored = va.deanonymize(text[:cut], self._token_map) if cut else ""
        self._held = text[cut:]
        return restored

    def flush(self) -> str:
        """Ends the text; returns the rest of the restored text."""
        restored = va.deanonymize(self._held, self._token_map) if self._held else ""
        self._held = ""
        return restored
