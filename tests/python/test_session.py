"""Saving a TokenMap as a session document and reading it back, from Python."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_anonymizer as va

E = va.EntityType
MALFORMED = "session JSON is malformed: "
EMPTY_DOC = '{"version":1,"tokenMap":{"forward":{},"reverse":{}}}'


def token_map(*texts, kind=E.Person):
    return va.build_token_map([va.Entity(text, kind) for text in texts])


def tables(map_):
    """The two tables of a map, read by Python's own JSON reader."""
    doc = json.loads(map_.to_session_json())
    return doc["tokenMap"]["forward"], doc["tokenMap"]["reverse"]


def test_format_version_constant():
    assert va.SESSION_FORMAT_VERSION == 1


@pytest.mark.parametrize(
    "texts,expected",
    [
        ((), EMPTY_DOC),
        (
            ("Alice",),
            '{"version":1,"tokenMap":{"forward":{"Alice":"[PERSON_1]"},'
            '"reverse":{"[PERSON_1]":"Alice"}}}',
        ),
        (
            ('say "hi"\\\n\t\x1b\x00/\x7f Zürich 東京 😀',),
            '{"version":1,"tokenMap":{"forward":'
            '{"say \\"hi\\"\\\\\\n\\t\\u001b\\u0000/\x7f Zürich 東京 😀":"[PERSON_1]"},'
            '"reverse":{"[PERSON_1]":"say \\"hi\\"\\\\\\n\\t\\u001b\\u0000/\x7f Zürich 東京 😀"}}}',
        ),
    ],
    ids=["empty", "one person", "escaping"],
)
def test_writer_output_is_exact(texts, expected):
    assert token_map(*texts).to_session_json() == expected


KINDS = [
    E.Person, E.Place, E.Org, E.Project, E.Email, E.Phone, E.Url, E.Handle, E.Secret, E.IpAddress
]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.text(max_size=20), st.sampled_from(KINDS)), max_size=15))
def test_round_trip_keeps_both_tables(entities):
    original = va.build_token_map([va.Entity(text, kind) for text, kind in entities])
    doc = original.to_session_json()
    restored = va.TokenMap.from_session_json(doc)
    assert len(restored) == len(original)
    assert tables(restored) == tables(original)
    forward, _ = tables(original)
    assert set(forward) == {text for text, _ in entities}


def test_reading_leaves_a_new_map_and_writing_leaves_the_map_unchanged():
    original = token_map("Alice", "Bob")
    doc = original.to_session_json()
    restored = va.TokenMap.from_session_json(doc)
    assert restored is not original
    assert json.loads(original.to_session_json()) == json.loads(doc)
    assert va.deanonymize("[PERSON_1] and [PERSON_2]", restored) == "Alice and Bob"


def test_nul_characters_round_trip():
    original = token_map("a\x00b")
    doc = original.to_session_json()
    assert "\\u0000" in doc and "\x00" not in doc
    restored = va.TokenMap.from_session_json(doc)
    assert va.deanonymize("[PERSON_1]", restored) == "a\x00b"


@pytest.mark.parametrize(
    "doc,length,restored_text",
    [
        (EMPTY_DOC, 0, "[PERSON_1]"),
        ('{"version":0,"tokenMap":{"forward":{},"reverse":{}}}', 0, "[PERSON_1]"),
        (
            '{"tokenMap":{"reverse":{"[PERSON_1]":"Alice"},"forward":{"Alice":"[PERSON_1]"}},'
            '"version":1}',
            1,
            "Alice",
        ),
        ("[1,[{},{}]]", 0, "[PERSON_1]"),
        ('[1,[{"Alice":"[PERSON_1]"},{"[PERSON_1]":"Alice"}]]', 1, "Alice"),
        (
            '{"comment":"by hand","version":1,"tokenMap":{"note":[1,{"a":null}],'
            '"forward":{"Alice":"[PERSON_1]"},"reverse":{"[PERSON_1]":"Alice"}}}',
            1,
            "Alice",
        ),
        (
            '{"version":1,"tokenMap":{"forward":{"A":"[PERSON_9]","A":"[PERSON_1]"},'
            '"reverse":{"[PERSON_1]":"B","[PERSON_1]":"A"}}}',
            1,
            "A",
        ),
        (
            '{"version":1,"tokenMap":{"forward":{"Bob":"[PERSON_1]"},"reverse":{}}}',
            1,
            "[PERSON_1]",
        ),
    ],
    ids=[
        "empty",
        "version 0",
        "members in any order",
        "array form",
        "array form with entries",
        "unknown members skipped",
        "later duplicate wins",
        "tables that disagree",
    ],
)
def test_accepted_documents(doc, length, restored_text):
    restored = va.TokenMap.from_session_json(doc)
    assert len(restored) == length
    assert va.deanonymize("[PERSON_1]", restored) == restored_text


@pytest.mark.parametrize(
    "doc,message",
    [
        ("{}", MALFORMED + "missing field `version` at line 1 column 2"),
        ('{"version":7}', MALFORMED + "missing field `tokenMap` at line 1 column 13"),
        (
            '{"version":1,"tokenMap":{}}',
            MALFORMED + "missing field `forward` at line 1 column 26",
        ),
        (
            '{"version":1,"version":1,"tokenMap":{"forward":{},"reverse":{}}}',
            MALFORMED + "duplicate field `version` at line 1 column 22",
        ),
        (
            '{"version":1,"tokenMap":{"forward":{},"forward":{}}}',
            MALFORMED + "duplicate field `forward` at line 1 column 47",
        ),
        (
            "[1]",
            MALFORMED + "invalid length 1, expected struct SerializedSession with 2 elements"
            " at line 1 column 3",
        ),
        (
            "[1,[{}]]",
            MALFORMED + "invalid length 1, expected struct TokenMap with 2 elements"
            " at line 1 column 7",
        ),
        ("[1,[{},{}],2]", MALFORMED + "trailing characters at line 1 column 12"),
        (EMPTY_DOC + " x", MALFORMED + "trailing characters at line 1 column 54"),
        (
            "5",
            MALFORMED + "invalid type: integer `5`, expected struct SerializedSession"
            " at line 1 column 1",
        ),
        (
            '{"version":1,"tokenMap":"x"}',
            MALFORMED + 'invalid type: string "x", expected struct TokenMap at line 1 column 27',
        ),
        (
            '{"version":1,"tokenMap":{"forward":[],"reverse":{}}}',
            MALFORMED + "invalid type: sequence, expected a map at line 1 column 36",
        ),
        (
            '{"version":1,"tokenMap":{"forward":{"Bob":null},"reverse":{}}}',
            MALFORMED + "invalid type: null, expected a string at line 1 column 46",
        ),
        (
            '{"version":1,"tokenMap":{"forward":{"Bob":5},"reverse":{}}}',
            MALFORMED + "invalid type: integer `5`, expected a string at line 1 column 43",
        ),
        (
            '{"version":-1,"tokenMap":{"forward":{},"reverse":{}}}',
            MALFORMED + "invalid value: integer `-1`, expected u32 at line 1 column 13",
        ),
        (
            '{"version":4294967296,"tokenMap":{"forward":{},"reverse":{}}}',
            MALFORMED + "invalid value: integer `4294967296`, expected u32 at line 1 column 21",
        ),
        (
            '{"version":1.5,"tokenMap":{"forward":{},"reverse":{}}}',
            MALFORMED + "invalid type: floating point `1.5`, expected u32 at line 1 column 14",
        ),
        (
            '{"version":"1","tokenMap":{"forward":{},"reverse":{}}}',
            MALFORMED + 'invalid type: string "1", expected u32 at line 1 column 14',
        ),
        ("", MALFORMED + "EOF while parsing a value at line 1 column 0"),
        ('{"x":"a\\qb"}', MALFORMED + "invalid escape at line 1 column 9"),
        ('{"x":"\\ud800"}', MALFORMED + "lone surrogate in \\u escape at line 1 column 12"),
        ('{"x":"\\udc00x"}', MALFORMED + "lone surrogate in \\u escape at line 1 column 12"),
        (
            '{"x":"a\nb"}',
            MALFORMED + "control character (\\u0000-\\u001F) found while parsing a string"
            " at line 2 column 0",
        ),
        (
            '{"Zürich😀":1,"version":"x"}',
            MALFORMED + 'invalid type: string "x", expected u32 at line 1 column 26',
        ),
        (
            '{"version":2,"tokenMap":{"forward":{},"reverse":{}}}',
            "unsupported session format version 2 (this build supports 1)",
        ),
        (
            '[4294967295,[{},{}]]',
            "unsupported session format version 4294967295 (this build supports 1)",
        ),
    ],
)
def test_refused_documents_raise_value_error_with_exact_message(doc, message):
    with pytest.raises(ValueError) as caught:
        va.TokenMap.from_session_json(doc)
    assert str(caught.value) == message


def test_argument_must_be_a_str():
    with pytest.raises(TypeError):
        va.TokenMap.from_session_json(EMPTY_DOC.encode())


def test_every_truncation_is_refused():
    doc = token_map('Zürich "Q"\n', "東京😀\\", "\x00").to_session_json()
    doc = '{"note":[1,-2.5e3,true,null],' + doc[1:]
    va.TokenMap.from_session_json(doc)
    for end in range(len(doc)):
        with pytest.raises(ValueError, match="^session JSON is malformed: .* at line "):
            va.TokenMap.from_session_json(doc[:end])


def test_deep_nesting_is_skipped_or_refused_without_crashing():
    depth = 100_000
    nested = "[" * depth + "]" * depth
    restored = va.TokenMap.from_session_json('{"deep":' + nested + "," + EMPTY_DOC[1:])
    assert len(restored) == 0
    with pytest.raises(ValueError, match="EOF while parsing a list"):
        va.TokenMap.from_session_json('{"deep":' + "[" * depth)
    with pytest.raises(ValueError, match="expected u32 at line 1 column 2$"):
        va.TokenMap.from_session_json("[" * depth)


def test_huge_numbers_are_skipped_or_quoted_in_part():
    digits = "9" * 10_000
    restored = va.TokenMap.from_session_json('{"n":' + digits + "," + EMPTY_DOC[1:])
    assert len(restored) == 0
    with pytest.raises(ValueError) as caught:
        va.TokenMap.from_session_json("[" + digits + "]")
    assert str(caught.value) == (
        MALFORMED + "invalid value: integer `" + "9" * 64 + "...`, expected u32"
        " at line 1 column 10001"
    )


def test_large_document_round_trips():
    texts = [f"{'ä' * 500} {i}" for i in range(10_000)]
    original = token_map(*texts)
    doc = original.to_session_json()
    assert len(doc.encode()) > 20_000_000
    restored = va.TokenMap.from_session_json(doc)
    assert len(restored) == len(texts)
    assert tables(restored) == tables(original)
