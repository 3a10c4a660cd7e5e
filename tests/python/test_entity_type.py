"""EntityType: class attributes, int(), equality with kinds and integers, hashing, repr and
token_prefix."""

import pytest

import velk_anonymizer as va

E = va.EntityType
KINDS = [
    ("Person", 0, "PERSON"), ("Place", 1, "PLACE"), ("Org", 2, "ORG"), ("Project", 3, "PROJECT"),
    ("Email", 4, "EMAIL"), ("Phone", 5, "PHONE"), ("Url", 6, "URL"), ("Handle", 7, "HANDLE"),
    ("Secret", 8, "SECRET"), ("IpAddress", 9, "IP"),
]


@pytest.mark.parametrize("name,value,prefix", KINDS)
def test_kind_has_value_prefix_and_repr(name, value, prefix):
    kind = getattr(E, name)
    assert (int(kind), kind == value, E.token_prefix(kind)) == (value, True, prefix)
    assert repr(kind) == f"EntityType.{name}"
    assert getattr(E, name) is kind


def test_equality_with_kinds_integers_and_index_objects():
    class Index:
        def __index__(self):
            return 2

    assert E.Org == 2 and E.Org != 3 and 2 == E.Org
    assert E.Org == E.Org and E.Org != E.Url
    assert E.Org == Index()
    assert E.Person == False  # noqa: E712 - a bool converts to 0
    assert not (E.Org == "Org") and E.Org != "Org"
    assert not (E.Org == 2.0)


@pytest.mark.parametrize("other", [E.Url, 1])
@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_is_not_supported(op, other):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": E.Org, "b": other})


def test_hash_is_fixed_and_not_the_integer_hash():
    assert hash(E.Person) == -4800647303603446203
    assert hash(E.IpAddress) == -5355386902798776048
    assert hash(E.Person) != hash(0)
    assert len({hash(getattr(E, name)) for name, _, _ in KINDS}) == 10
    assert {E.Person: 1}[va.Entity("x", E.Person).entity_type] == 1


def test_a_kind_is_not_an_index():
    with pytest.raises(TypeError):
        [1, 2, 3][E.Place]


def test_token_prefix_is_static():
    assert E.Person.token_prefix(E.Email) == "EMAIL"
    assert E.token_prefix(py_et=E.Url) == "URL"
