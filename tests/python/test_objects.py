"""EntityType, Entity, TokenMap and the anonymize calls from Python: values, equality, hashing,
repr; new objects on each attribute access; sequences (or none) and keywords as arguments, the
caller's objects left alone; texts carried whole; refused session documents as ValueError."""

import json

import pytest

import velk_anonymizer as va

E = va.EntityType
KINDS = [("Person", 0, "PERSON"), ("Place", 1, "PLACE"), ("Org", 2, "ORG"),
         ("Project", 3, "PROJECT"), ("Email", 4, "EMAIL"), ("Phone", 5, "PHONE"), ("Url", 6, "URL"),
         ("Handle", 7, "HANDLE"), ("Secret", 8, "SECRET"), ("IpAddress", 9, "IP")]


@pytest.mark.parametrize("name,value,prefix", KINDS)
def test_kind_has_value_prefix_and_repr(name, value, prefix):
    kind = getattr(E, name)
    assert (int(kind), kind == value, E.token_prefix(kind), repr(kind)) == (
        value, True, prefix, f"EntityType.{name}")


def test_kinds_equal_kinds_and_integers_hash_fixed_and_do_not_order():
    class Index:
        def __index__(self):
            return 2

    assert E.Org == 2 and 2 == E.Org and E.Org == Index() and E.Person == False  # noqa: E712
    assert E.Org != 3 and E.Org != E.Url and E.Org != "Org" and not (E.Org == 2.0)
    assert (hash(E.Person), hash(E.IpAddress)) == (-4800647303603446203, -5355386902798776048)
    assert {E.Person: 1}[va.Entity("x", E.Person).entity_type] == 1
    assert E.Person.token_prefix(E.Email) == "EMAIL" and E.token_prefix(py_et=E.Url) == "URL"
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"E.Org {op} 1", {"E": E})
    with pytest.raises(TypeError):
        [1, 2, 3][E.Place]


def test_entity_attributes_are_new_objects_and_repr_is_the_debug_form():
    class Name(str):
        pass

    entity = va.Entity("Alice", E.Person)
    assert (entity.text, entity.entity_type) == ("Alice", E.Person)
    assert entity.entity_type is not entity.entity_type
    assert type(va.Entity(Name("Bob"), E.Person).text) is str
    assert repr(va.Entity(entity_type=E.Secret, text='a\\"\0\n\u0301Zoë 東京')) == (
        'Entity(text="a\\\\\\"\\0\\n\\u{301}Zoë 東京", type=Secret)')


def test_maps_take_any_sequence_and_keywords_and_carry_texts_whole():
    empty = va.TokenMap()
    assert (len(empty), bool(empty), repr(empty)) == (0, False, "TokenMap(len=0)")
    base = va.build_token_map(entities=(va.Entity("Alice", E.Person), va.Entity("\0", E.Secret)),
                              existing=None)
    for entities in ([], (), range(0)):
        copy = va.build_token_map(entities, base)
        assert copy is not base and copy.to_session_json() == base.to_session_json()
    assert repr(base) == "TokenMap(len=2)"
    assert va.apply_token_map(text="Alice", token_map=base) == "[PERSON_1]"
    assert va.deanonymize(token_map=base, text="[PERSON_1]") == "Alice"
    for text in ["", "\0\0", "\U0001F600 Alice \U00010400", "`" * 1001, "~~~\n" * 100]:
        assert va.deanonymize(va.apply_token_map(text, base), base) == text


# The reader's messages are pinned by the C++ suite; here one reaches Python whole.
def test_a_refused_document_raises_value_error_with_the_whole_message():
    with pytest.raises(ValueError) as caught:
        va.TokenMap.from_session_json('{"version":"Zürich"}')
    assert str(caught.value) == ('session JSON is malformed: invalid type: string "Zürich", '
                                 'expected u32 at line 1 column 19')


def forward(token_map):
    return json.loads(token_map.to_session_json())["tokenMap"]["forward"]


def outcome(result):
    """Everything a result holds, as plain values that compare whole."""
    entities = [(e.text, e.entity_type) for e in result.entities]
    return result.text, entities, result.entity_count, forward(result.token_map)


def test_custom_entities_from_any_sequence_and_the_callers_objects_unchanged():
    text = "```\nAlice\n```\nrun `ping 10.0.0.1`"
    expected = (text, [("10.0.0.1", E.IpAddress), ("Alice", E.Person)], 2,
                {"10.0.0.1": "[IP_1]", "Alice": "[PERSON_1]"})
    results = [va.anonymize(text)] + [va.anonymize_with_custom(text, None, c)
                                      for c in (None, (), [])]
    assert [outcome(r) for r in results] == [expected] * 4
    existing = va.build_token_map([va.Entity("Alice", E.Person), va.Entity("Oslo", E.Place)])
    before = existing.to_session_json()
    custom = [va.Entity("Acme", E.Org)]
    expected = {"Alice": "[PERSON_1]", "Oslo": "[PLACE_1]", "Bob": "[PERSON_2]",
                "ALICE": "[PERSON_1]", "Acme": "[ORG_1]"}
    for sequence in (custom, tuple(custom)):
        result = va.anonymize_with_custom("Bob met ALICE at acme", existing=existing,
                                          custom_entities=sequence)
        assert result.text == "[PERSON_2] met [PERSON_1] at [ORG_1]"
        assert forward(result.token_map) == expected
    assert existing.to_session_json() == before and len(existing) == 2
    assert [(e.text, e.entity_type) for e in custom] == [("Acme", E.Org)]
