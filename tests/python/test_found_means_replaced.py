"""What the detectors found is replaced, ordinary words are not touched, and restoring gives back
what the user wrote: shapes that used to leak, and properties over generated developer text."""

import re

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velk_anonymizer as va


def run(text):
    result = va.anonymize(text)
    return result.text, va.deanonymize(result.text, result.token_map), result


LEAKED_SHAPES = [('Ask Dr. "Jane" today', "Ask Dr. [PERSON_1] today"),
                 ('the "Acme, Inc." team', "the [ORG_1] team"),
                 ("patch by Colin\nWatson", "patch by [PERSON_1]")]


def test_shapes_that_leaked_are_replaced_and_restore_exactly():
    outcomes = [run(text)[:2] for text, _ in LEAKED_SHAPES]
    assert outcomes == [(expected, text) for text, expected in LEAKED_SHAPES]


# Generated developer text: entity shapes, glue that the substitution's edge rules refuse but the
# detectors accept, code, tokens typed by the user and plain words.
NAMES = ["Alice", "Emily Johnson", "Jane Smith", "Colin Watson", "Sarah Miller", "Bob"]
PLACES = ["Dallas, TX", "Portland, OR", "New York", "Paris", "Indianapolis, IN"]
WORDS = ["in", "or", "ok", "the", "office", "deploy", "fails", "see", "Thanks", "ping", "and", "me"]
CODE = ["`Alice`", "`ssh root@10.0.0.9`", "\n```\nJane Smith wrote 10.0.0.9\n```\n", "`[PERSON_1]`"]


@st.composite
def pieces(draw):
    host = draw(st.sampled_from(["x.io", "acme.dev", "db.acme.io", "example.com"]))
    path = draw(st.sampled_from(["", "a", "a/b", "reset?uid=9"]))
    end = draw(st.sampled_from(["", "/", ".", "?"]))
    ip = ".".join(str(draw(st.integers(1, 254))) for _ in range(4))
    user = draw(st.sampled_from(["jdoe", "alice", "ops_bot"]))
    return draw(st.sampled_from([
        f"https://{host}/{path}{end}", f"ssh root@{ip}", ip, f"{user}@{host}",
        f"postgres://app@{host}/prod", f"@{user}", f"medium.com/@{user}",
        f"repo acme/{draw(st.sampled_from(['BlueHarbor', 'NightOwl', 'SwiftPioneer']))}",
        "sk_live_" + draw(st.text("abcdef0123456789", min_size=24, max_size=24)) + "9a",
        f'"{draw(st.sampled_from(NAMES))}"', draw(st.sampled_from(NAMES)),
        draw(st.sampled_from(PLACES)), draw(st.sampled_from(WORDS)),
        draw(st.sampled_from(WORDS)).upper(), draw(st.sampled_from(CODE)),
        f"[{draw(st.sampled_from(['PERSON', 'IP', 'ORG']))}_{draw(st.integers(1, 12))}]",
    ]))


texts = st.lists(st.tuples(pieces(), st.sampled_from([" ", " ", ", ", ". ", "\n"])),
                 min_size=1, max_size=12).map(lambda parts: "".join(p + s for p, s in parts))

WORD_CHAR = re.compile(r"[A-Za-z0-9_]")


def standing_places(result):
    """Entity texts that still stand as words of their own outside code (which is never changed):
    no letter, digit or underscore before them, nor after them when they end in one."""
    left, text = [], result.text
    for code in CODE:
        text = text.replace(code, "\0")
    for entity in result.entities:
        flags = 0 if re.fullmatch(r"[A-Z]{1,3}", entity.text) else re.IGNORECASE
        for m in re.finditer(re.escape(entity.text), text, flags):
            before, after = text[m.start() - 1:m.start()] or " ", text[m.end():m.end() + 1] or " "
            if not WORD_CHAR.fullmatch(before) and not (
                    WORD_CHAR.fullmatch(entity.text[-1]) and WORD_CHAR.fullmatch(after)):
                left.append(entity.text)
    return left


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(first=texts, second=texts)
def test_found_entities_never_stand_in_the_clear_and_restore_is_exact(first, second):
    anonymized, restored, result = run(first)
    assert standing_places(result) == []
    assert restored.lower() == first.lower()
    # The conversation goes on with the map, and with the same map read back from its session.
    read_back = va.TokenMap.from_session_json(result.token_map.to_session_json())
    following = va.anonymize(second, existing=result.token_map)
    from_session = va.anonymize(second, existing=read_back)
    assert (following.text, following.token_map.to_session_json()) == (
        from_session.text, from_session.token_map.to_session_json())
    assert standing_places(following) == []
    # A token that the map already holds is the map's, and restores to its text.
    known = [t for t in re.findall(r"\[[A-Z]+_\d+\]", second)
             if va.deanonymize(t, result.token_map) != t]
    if not known:
        assert va.deanonymize(following.text, following.token_map).lower() == second.lower()
