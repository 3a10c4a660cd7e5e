"""Entity: construction, read-only attributes and the debug form of its repr."""

import pytest

import velk_anonymizer as va

E = va.EntityType


def test_attributes_are_new_objects_equal_to_the_kind():
    entity = va.Entity("Alice", E.Person)
    assert entity.text == "Alice"
    assert entity.entity_type == E.Person
    assert entity.entity_type is not E.Person
    assert entity.entity_type is not entity.entity_type


def test_keyword_arguments_and_empty_text():
    entity = va.Entity(entity_type=E.Secret, text="")
    assert entity.text == "" and entity.entity_type == E.Secret


@pytest.mark.parametrize(
    "text,expected",
    [
        ('Ann "Jo"', 'Entity(text="Ann \\"Jo\\"", type=Person)'),
        ("a\\b", 'Entity(text="a\\\\b", type=Person)'),
        ("\0\t\r\n", 'Entity(text="\\0\\t\\r\\n", type=Person)'),
        ("Zoë 東京", 'Entity(text="Zoë 東京", type=Person)'),
        ("e\u0301\x1b\u200b", 'Entity(text="e\\u{301}\\u{1b}\\u{200b}", type=Person)'),
    ],
)
def test_repr_uses_the_debug_form(text, expected):
    assert repr(va.Entity(text, E.Person)) == expected


@pytest.mark.parametrize("name", ["text", "entity_type"])
def test_attributes_are_read_only(name):
    entity = va.Entity("Alice", E.Person)
    with pytest.raises(AttributeError):
        setattr(entity, name, "x")
    with pytest.raises(AttributeError):
        entity.other = 1


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((1, E.Person), {}, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ((b"x", E.Person), {}, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (("x", 0), {}, "argument 'entity_type': 'int' object cannot be converted to 'PyEntityType'"),
        ((1, 0), {}, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (("x",), {}, "^PyEntity.__new__\\(\\) missing 1 required positional argument: 'entity_type'$"),
        (("x", E.Person, 1), {}, "takes 2 positional arguments but 3 were given"),
        (("x", E.Person), {"text": "y"}, "got multiple values for argument 'text'"),
        (("x",), {"kind": E.Person}, "got an unexpected keyword argument 'kind'"),
    ],
)
def test_constructor_type_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        va.Entity(*args, **kwargs)


def test_str_subclass_is_accepted_and_surrogates_are_refused():
    class Name(str):
        pass

    assert va.Entity(Name("Bob"), E.Person).text == "Bob"
    with pytest.raises(UnicodeEncodeError):
        va.Entity("\ud800", E.Person)


def test_identity_comparison_and_hash():
    a = va.Entity("Alice", E.Person)
    b = va.Entity("Alice", E.Person)
    assert a != b and a == a
    assert len({a, b}) == 2


def test_signature_and_doc():
    import inspect

    assert str(inspect.signature(va.Entity)) == "(text, entity_type)"
    assert va.Entity.__doc__ == "Python wrapper for Entity (detected span)."
    assert va.Entity.__name__ == "PyEntity"
