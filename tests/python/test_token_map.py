"""TokenMap, build_token_map, apply_token_map and deanonymize from Python."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk_anonymizer as va

E = va.EntityType


def ent(text, kind=E.Person):
    return va.Entity(text, kind)


def test_empty_map():
    m = va.TokenMap()
    assert len(m) == 0 and not m
    assert repr(m) == "TokenMap(len=0)"
    assert va.TokenMap.__name__ == "PyTokenMap"
    assert va.TokenMap.__doc__ == (
        "Python wrapper for TokenMap (bidirectional entity \u2194 token mapping)."
    )


@pytest.mark.parametrize("args,kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        va.TokenMap(*args, **kwargs)


def test_build_numbers_per_prefix_and_shares_case_variants():
    m = va.build_token_map(
        [ent("Alice"), ent("Bob"), ent("alice"), ent("Alice"), ent("Paris", E.Place)]
    )
    assert len(m) == 4 and repr(m) == "TokenMap(len=4)"
    assert va.apply_token_map("Alice Bob ALICE Paris", m) == (
        "[PERSON_1] [PERSON_2] [PERSON_1] [PLACE_1]"
    )
    assert va.deanonymize("[PERSON_1] [PERSON_2] [PLACE_1]", m) == "Alice Bob Paris"


def test_extending_keeps_existing_unchanged_and_continues_numbering():
    first = va.build_token_map([ent("Alice")])
    second = va.build_token_map([ent("Bob"), ent("ALICE")], existing=first)
    assert len(first) == 1 and len(second) == 3
    assert va.apply_token_map("Alice Bob", second) == "[PERSON_1] [PERSON_2]"
    assert va.apply_token_map("Alice Bob", first) == "[PERSON_1] Bob"


@pytest.mark.parametrize("entities", [[], (), range(0)])
def test_empty_sequences_give_an_equal_copy(entities):
    base = va.build_token_map([ent("Alice")])
    assert len(va.build_token_map(entities)) == 0
    copy = va.build_token_map(entities, base)
    assert copy is not base and len(copy) == 1
    assert va.build_token_map(entities, None).__class__ is va.TokenMap


def test_tuple_of_entities_is_accepted():
    m = va.build_token_map((ent("Alice"), ent("Bob")))
    assert len(m) == 2


def gen():
    yield ent("Alice")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: va.build_token_map("Alice"), "^argument 'entities': Can't extract `str` to `Vec`$"),
        (lambda: va.build_token_map(None), "'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: va.build_token_map({ent("A")}), "'set' object cannot be converted to 'Sequence'"),
        (lambda: va.build_token_map({"a": 1}), "'dict' object cannot be converted to 'Sequence'"),
        (lambda: va.build_token_map(gen()), "'generator' object cannot be converted to 'Sequence'"),
        (
            lambda: va.build_token_map([("Alice", E.Person)]),
            "^argument 'entities': 'tuple' object cannot be converted to 'PyEntity'$",
        ),
        (
            lambda: va.build_token_map([ent("A"), "B"]),
            "'str' object cannot be converted to 'PyEntity'",
        ),
        (
            lambda: va.build_token_map([], existing={}),
            "^argument 'existing': 'dict' object cannot be converted to 'PyTokenMap'$",
        ),
        (
            lambda: va.build_token_map("x", existing=1),
            "argument 'entities'",
        ),
        (
            lambda: va.apply_token_map("x", None),
            "^argument 'token_map': 'NoneType' object cannot be converted to 'PyTokenMap'$",
        ),
        (
            lambda: va.apply_token_map(b"x", va.TokenMap()),
            "^argument 'text': 'bytes' object cannot be converted to 'PyString'$",
        ),
        (
            lambda: va.deanonymize(1, 2),
            "^argument 'text': 'int' object cannot be converted to 'PyString'$",
        ),
        (lambda: va.deanonymize("x"), "^deanonymize\\(\\) missing 1 required positional argument: 'token_map'$"),
        (lambda: va.apply_token_map(), "missing 2 required positional arguments: 'text' and 'token_map'"),
        (lambda: va.apply_token_map("x", va.TokenMap(), 1), "takes 2 positional arguments but 3 were given"),
        (
            lambda: va.apply_token_map("x", va.TokenMap(), text="y"),
            "apply_token_map\\(\\) got multiple values for argument 'text'",
        ),
        (lambda: va.build_token_map([], foo=1), "build_token_map\\(\\) got an unexpected keyword argument 'foo'"),
    ],
)
def test_conversion_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        va.apply_token_map("a\udc00", va.TokenMap())
    with pytest.raises(UnicodeEncodeError):
        va.build_token_map([ent("x")]) and va.deanonymize("\ud800", va.TokenMap())


def test_keywords_for_every_parameter():
    m = va.build_token_map(entities=[ent("Alice")], existing=None)
    assert va.apply_token_map(text="Alice", token_map=m) == "[PERSON_1]"
    assert va.deanonymize(token_map=m, text="[PERSON_1]") == "Alice"


@pytest.mark.parametrize(
    "text,expected",
    [
        ("Alice's (Alice) Alice.", "[PERSON_1]'s ([PERSON_1]) [PERSON_1]."),
        ("Alicia xAlice _Alice /Alice Alice2 @Alice", "Alicia xAlice _Alice /Alice Alice2 @Alice"),
        ("-Alice éAlice", "-[PERSON_1] é[PERSON_1]"),
        ("New York and York", "[PLACE_1] and [PLACE_2]"),
        ("Alice `Alice`\n```\nAlice\n```\n", "[PERSON_1] `Alice`\n```\nAlice\n```\n"),
        ("Alice`x`", "[PERSON_1]`x`"),
    ],
)
def test_forward_substitution_rules(text, expected):
    m = va.build_token_map([ent("Alice"), ent("New York", E.Place), ent("York", E.Place)])
    assert va.apply_token_map(text, m) == expected


def test_empty_entity_text_gets_a_token_but_is_not_substituted():
    m = va.build_token_map([ent(""), ent("Bob")])
    assert len(m) == 2
    assert va.apply_token_map("hi Bob!", m) == "hi [PERSON_2]!"


def test_deanonymize_rules():
    m = va.build_token_map([ent("Alice"), ent("[ORG_1] Ltd", E.Org)])
    assert va.deanonymize("[PERSON_1] [ORG_9] `[PERSON_1]` [ORG_1]", m) == (
        "Alice [ORG_9] `Alice` [ORG_1]"
    )


@pytest.mark.parametrize(
    "text",
    ["", "\0\0", "\U0001F600 Alice \U00010400", "`" * 1001, "[" * 500 + "]" * 500, "~~~\n" * 100],
)
def test_unusual_texts(text):
    m = va.build_token_map([ent("Alice"), ent("\0", E.Secret)])
    out = va.apply_token_map(text, m)
    assert va.deanonymize(out, m) == text


def test_large_text():
    text = ("Alice met Bob in `code` and ```\nAlice\n```\n" * 1_200_000)[: 50 * 1024 * 1024]
    m = va.build_token_map([ent("Alice"), ent("Bob")])
    out = va.apply_token_map(text, m)
    assert out.count("[PERSON_1]") == text.count("Alice met")
    assert va.deanonymize(out, m) == text


WORDS = st.text(alphabet="abcXYZ", min_size=1, max_size=6)


@settings(max_examples=300, deadline=None)
@given(
    words=st.lists(WORDS, min_size=1, max_size=8, unique_by=str.lower),
    seps=st.lists(st.sampled_from([" ", ", ", ".\n", " `x` ", "\n```\ncode\n```\n"]), max_size=20),
    data=st.data(),
)
def test_round_trip_of_whole_word_entities(words, seps, data):
    # Whole words between separators that never glue to a neighbour: restoring gives the
    # text back exactly, except where case variants take the first spelling.
    m = va.build_token_map([ent(w) for w in words])
    picks = [data.draw(st.sampled_from(words)) for _ in seps]
    text = "".join(p + s for p, s in zip(picks, seps))
    assert va.deanonymize(va.apply_token_map(text, m), m) == text


def test_too_many_arguments_for_optional_parameters():
    with pytest.raises(
        TypeError,
        match=r"^build_token_map\(\) takes from 1 to 2 positional arguments but 3 were given$",
    ):
        va.build_token_map([], None, None)
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
        va.TokenMap(1)


def test_numbering_goes_past_the_32_bit_top_without_reusing_tokens():
    doc = (
        '{"version":1,"tokenMap":{"forward":{"Max":"[PERSON_4294967295]",'
        '"Over":"[PERSON_4294967296]"},"reverse":{"[PERSON_4294967295]":"Max",'
        '"[PERSON_4294967296]":"Over"}}}'
    )
    existing = va.TokenMap.from_session_json(doc)
    m = va.build_token_map([ent("Ann"), ent("Ben")], existing)
    assert va.apply_token_map("Ann Ben Max Over", m) == (
        "[PERSON_4294967297] [PERSON_4294967298] [PERSON_4294967295] [PERSON_4294967296]"
    )
    assert va.deanonymize("[PERSON_4294967296] [PERSON_4294967297]", m) == "Over Ann"


def test_empty_reverse_key_from_a_session_does_not_hang():
    existing = va.TokenMap.from_session_json(
        '{"version":1,"tokenMap":{"forward":{"x":""},"reverse":{"":"x","[PERSON_1]":"Al"}}}'
    )
    assert va.deanonymize("hi [PERSON_1]", existing) == "hi Al"


def test_build_does_not_change_existing():
    import json

    existing = va.build_token_map([ent("Alice"), ent("Paris", E.Place)])
    before = json.loads(existing.to_session_json())
    va.build_token_map([ent("Bob"), ent("ALICE")], existing)
    assert json.loads(existing.to_session_json()) == before
    assert len(existing) == 2
