"""Entity: construction, attributes that are new objects on each access, and the debug form of
its repr."""

import pytest

import velk_anonymizer as va

E = va.EntityType


def test_attributes_are_new_objects_equal_to_what_was_given():
    class Name(str):
        pass

    entity = va.Entity("Alice", E.Person)
    assert (entity.text, entity.entity_type) == ("Alice", E.Person)
    assert entity.entity_type is not E.Person
    assert entity.entity_type is not entity.entity_type
    empty = va.Entity(entity_type=E.Secret, text="")
    assert (empty.text, empty.entity_type) == ("", E.Secret)
    assert type(va.Entity(Name("Bob"), E.Person).text) is str


@pytest.mark.parametrize(
    "text,expected",
    [
        ('Ann "Jo"', 'Entity(text="Ann \\"Jo\\"", type=Person)'),
        ("a\\b\0\t\r\n", 'Entity(text="a\\\\b\\0\\t\\r\\n", type=Person)'),
        ("Zoë 東京", 'Entity(text="Zoë 東京", type=Person)'),
        ("e\u0301\x1b\u200b", 'Entity(text="e\\u{301}\\u{1b}\\u{200b}", type=Person)'),
    ],
)
def test_repr_uses_the_debug_form(text, expected):
    assert repr(va.Entity(text, E.Person)) == expected
