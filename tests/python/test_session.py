"""Saving a TokenMap as a session document and reading it back from Python: exact output,
round trips, and refused documents as ValueError with the reader's message."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_anonymizer as va

E = va.EntityType
MALFORMED = "session JSON is malformed: "
KINDS = [getattr(E, name) for name in ("Person", "Place", "Org", "Url", "Secret", "IpAddress")]


def tables(map_):
    """The two tables of a map, read by Python's own JSON reader."""
    doc = json.loads(map_.to_session_json())
    return doc["tokenMap"]["forward"], doc["tokenMap"]["reverse"]


def test_writer_output_is_exact():
    text = 'say "hi"\\\n\t\x1b\x00/\x7f Zürich 東京 😀'
    escaped = 'say \\"hi\\"\\\\\\n\\t\\u001b\\u0000/\x7f Zürich 東京 😀'
    assert va.build_token_map([va.Entity(text, E.Person)]).to_session_json() == (
        f'{{"version":1,"tokenMap":{{"forward":{{"{escaped}":"[PERSON_1]"}},'
        f'"reverse":{{"[PERSON_1]":"{escaped}"}}}}}}'
    )


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.text(max_size=20), st.sampled_from(KINDS)), max_size=15))
def test_round_trip_keeps_both_tables(entities):
    original = va.build_token_map([va.Entity(text, kind) for text, kind in entities])
    doc = original.to_session_json()
    restored = va.TokenMap.from_session_json(doc)
    assert restored is not original and json.loads(original.to_session_json()) == json.loads(doc)
    assert len(restored) == len(original)
    assert tables(restored) == tables(original)
    assert set(tables(original)[0]) == {text for text, _ in entities}


# The reader's messages are pinned by the C++ suite; here they reach Python whole, as
# ValueError, non-ASCII text included.
@pytest.mark.parametrize("doc,message", [
    ('[1,[{"a":null},{}]]', MALFORMED + "invalid type: null, expected a string at line 1 column 13"),
    ('{"version":"Zürich"}',
     MALFORMED + 'invalid type: string "Zürich", expected u32 at line 1 column 19'),
    ('{"x":"\\udc00"}', MALFORMED + "lone surrogate in \\u escape at line 1 column 12"),
    ("[4294967295,[{},{}]]",
     "unsupported session format version 4294967295 (this build supports 1)"),
], ids=["wrong type", "non-ASCII", "lone surrogate", "largest version"])
def test_refused_documents_raise_value_error_with_the_exact_message(doc, message):
    with pytest.raises(ValueError) as caught:
        va.TokenMap.from_session_json(doc)
    assert str(caught.value) == message


def nested_table(depth):
    """Keys of n+1 x's whose texts hold fifty copies of the next shorter key: were inserted text
    searched again, "x" * (depth + 1) would grow to 50 ** depth copies."""
    return {"x" * (n + 1): " ".join(["x" * n] * 50) for n in range(depth, 0, -1)}


@pytest.mark.parametrize("table", ["forward", "reverse"])
def test_a_crafted_session_cannot_grow_the_text_and_free_texts_go_in_literally(table):
    tables_ = {"forward": {}, "reverse": {}}
    tables_[table] = {**nested_table(6), "Bob": "[PERSON_1]", "[PERSON_1]": "Bob"}
    map_ = va.TokenMap.from_session_json(json.dumps({"version": 1, "tokenMap": tables_}))
    text = "xxxxxxx Bob [PERSON_1]"
    once = " ".join(["x" * 6] * 50)
    # Backwards, "Bob" holds a token and is never restored.
    expected = {"forward": once + " [PERSON_1] Bob", "reverse": once + " Bob Bob"}[table]
    substitute = va.apply_token_map if table == "forward" else va.deanonymize
    assert substitute(text, map_) == expected
    if table == "forward":
        assert va.anonymize(text, map_).text == expected
