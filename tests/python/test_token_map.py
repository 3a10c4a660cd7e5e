"""TokenMap, build_token_map, apply_token_map and deanonymize from Python: sequences taken as
entities, keyword arguments, texts the conversion must carry whole, and round trips."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_anonymizer as va

E = va.EntityType


def ent(text, kind=E.Person):
    return va.Entity(text, kind)


def test_empty_map_is_false_and_shows_its_length():
    m = va.TokenMap()
    assert (len(m), bool(m), repr(m)) == (0, False, "TokenMap(len=0)")


def test_building_numbers_per_prefix_and_leaves_the_existing_map_unchanged():
    first = va.build_token_map([ent("Alice"), ent("Paris", E.Place)])
    before = json.loads(first.to_session_json())
    second = va.build_token_map([ent("Bob"), ent("ALICE")], existing=first)
    assert (len(first), len(second), repr(second)) == (2, 4, "TokenMap(len=4)")
    assert json.loads(first.to_session_json()) == before
    assert va.apply_token_map("Alice Bob ALICE Paris", second) == (
        "[PERSON_1] [PERSON_2] [PERSON_1] [PLACE_1]"
    )
    assert va.deanonymize("[PERSON_1] [PERSON_2] [PLACE_1]", second) == "Alice Bob Paris"


@pytest.mark.parametrize("entities", [[], (), range(0)], ids=["list", "tuple", "range"])
def test_any_empty_sequence_gives_an_equal_copy(entities):
    base = va.build_token_map((ent("Alice"), ent("Bob")))
    assert len(va.build_token_map(entities)) == 0
    copy = va.build_token_map(entities, base)
    assert copy is not base
    assert json.loads(copy.to_session_json()) == json.loads(base.to_session_json())


def test_every_parameter_by_keyword():
    m = va.build_token_map(entities=[ent("Alice")], existing=None)
    assert va.apply_token_map(text="Alice", token_map=m) == "[PERSON_1]"
    assert va.deanonymize(token_map=m, text="[PERSON_1]") == "Alice"


@pytest.mark.parametrize(
    "text",
    ["", "\0\0", "\U0001F600 Alice \U00010400", "`" * 1001, "[" * 500 + "]" * 500, "~~~\n" * 100],
    ids=["empty", "NUL", "astral", "backticks", "brackets", "tildes"],
)
def test_unusual_texts_come_back_whole(text):
    m = va.build_token_map([ent("Alice"), ent("\0", E.Secret)])
    assert va.deanonymize(va.apply_token_map(text, m), m) == text


def test_fifty_megabytes_round_trip():
    text = ("Alice met Bob in `code` and ```\nAlice\n```\n" * 1_200_000)[: 50 * 1024 * 1024]
    m = va.build_token_map([ent("Alice"), ent("Bob")])
    out = va.apply_token_map(text, m)
    assert out.count("[PERSON_1]") == text.count("Alice met")
    assert va.deanonymize(out, m) == text


@settings(max_examples=300, deadline=None)
@given(
    words=st.lists(st.text(alphabet="abcXYZ", min_size=1, max_size=6), min_size=1, max_size=8,
                   unique_by=str.lower),
    seps=st.lists(st.sampled_from([" ", ", ", ".\n", " `x` ", "\n```\ncode\n```\n"]), max_size=20),
    data=st.data(),
)
def test_round_trip_of_whole_word_entities(words, seps, data):
    # Whole words between separators that never glue to a neighbour: restoring gives the text
    # back exactly, since no two entities are case variants of each other.
    m = va.build_token_map([ent(w) for w in words])
    picks = [data.draw(st.sampled_from(words)) for _ in seps]
    text = "".join(p + s for p, s in zip(picks, seps))
    assert va.deanonymize(va.apply_token_map(text, m), m) == text
