"""anonymize and anonymize_with_custom from Python: detection merged with the caller's
entities, tokens kept across calls, and the caller's objects left as they were."""

import json

import pytest

import velk_anonymizer as va

E = va.EntityType
WORKED_TEXT = "Ping @jdoe about BlueHarbor in Dallas, TX"


def forward(token_map):
    return json.loads(token_map.to_session_json())["tokenMap"]["forward"]


def outcome(result):
    """Everything a result holds, as plain values that compare whole."""
    entities = [(e.text, e.entity_type) for e in result.entities]
    return result.text, entities, result.entity_count, forward(result.token_map)


def test_worked_call():
    result = va.anonymize(WORKED_TEXT)
    assert outcome(result) == (
        "Ping [HANDLE_1] about [PROJECT_1] in [PLACE_1], [PLACE_2]",
        [("@jdoe", E.Handle), ("Dallas", E.Place), ("TX", E.Place), ("BlueHarbor", E.Project)],
        4,
        {"@jdoe": "[HANDLE_1]", "Dallas": "[PLACE_1]", "TX": "[PLACE_2]",
         "BlueHarbor": "[PROJECT_1]"},
    )
    assert len(result.token_map) == 4
    assert va.deanonymize(result.text, result.token_map) == WORKED_TEXT


def test_chained_calls_keep_tokens():
    first = va.anonymize(WORKED_TEXT)
    second = va.anonymize(text="Did @jdoe leave Dallas for Paris?", existing=first.token_map)
    assert outcome(second) == (
        "Did [HANDLE_1] leave [PLACE_1] for [PLACE_3]?",
        [("@jdoe", E.Handle), ("Dallas", E.Place), ("Paris", E.Place)],
        3,
        {**forward(first.token_map), "Paris": "[PLACE_3]"},
    )
    # Text that already holds the tokens is found to hold nothing new.
    again = va.anonymize_with_custom(second.text, second.token_map)
    assert outcome(again) == (second.text, [], 0, forward(second.token_map))


def ent(text, kind):
    return va.Entity(text, kind)


# (id, text, entities the caller's map is built from or None, custom entities or None,
#  expected text, expected entities, expected forward table)
CASES = [
    ("empty text", "", None, None, "", [], {}),
    ("empty text keeps existing", "", [ent("Alice", E.Person)], None, "", [],
     {"Alice": "[PERSON_1]"}),
    ("mapped text replaced without detection", "say hi to alice", [ent("Alice", E.Person)], None,
     "say hi to [PERSON_1]", [], {"Alice": "[PERSON_1]"}),
    ("e-mail keeps out the same person", "mail jane@acme.com or Dr. JANE@ACME.COM", None, None,
     "mail [EMAIL_1] or Dr. [EMAIL_1]", [("jane@acme.com", E.Email)],
     {"jane@acme.com": "[EMAIL_1]"}),
    ("custom place keeps out the person", "Jordan said hi", None, [ent("Jordan", E.Place)],
     "[PLACE_1] said hi", [("Jordan", E.Place)], {"Jordan": "[PLACE_1]"}),
    ("absent custom plays no part", "Alice said hi", None, [ent("Jordan", E.Place)],
     "[PERSON_1] said hi", [("Alice", E.Person)], {"Alice": "[PERSON_1]"}),
    ("custom keeps its spelling", "we use acme tools", None, [ent("ACME", E.Org)],
     "we use [ORG_1] tools", [("ACME", E.Org)], {"ACME": "[ORG_1]"}),
    ("empty custom text always listed", "", None, [ent("", E.Person)],
     "", [("", E.Person)], {"": "[PERSON_1]"}),
    ("custom inside a longer word", "Albert came", None, [ent("Al", E.Person)],
     "[PERSON_1] came", [("Albert", E.Person), ("Al", E.Person)],
     {"Albert": "[PERSON_1]", "Al": "[PERSON_2]"}),
    ("pattern entity before custom of same text", "mail jane@acme.com", None,
     [ent("jane@acme.com", E.Person)], "mail [EMAIL_1]",
     [("jane@acme.com", E.Email), ("jane@acme.com", E.Person)], {"jane@acme.com": "[EMAIL_1]"}),
    ("duplicate custom listed twice", "acme rocks", None, [ent("ACME", E.Org)] * 2,
     "[ORG_1] rocks", [("ACME", E.Org), ("ACME", E.Org)], {"ACME": "[ORG_1]"}),
    ("camel case equal to a custom hit", "ship BlueHarbor now", None, [ent("blueharbor", E.Org)],
     "ship [ORG_1] now", [("blueharbor", E.Org)], {"blueharbor": "[ORG_1]"}),
    ("camel case equal to a lexicon entity", "Mr. BLUEHARBOR and BlueHarbor", None, None,
     "Mr. [PERSON_1] and [PERSON_1]", [("BLUEHARBOR", E.Person)], {"BLUEHARBOR": "[PERSON_1]"}),
    ("entities only inside code", "```\nAlice\n```\nrun `ping 10.0.0.1`", None, None,
     "```\nAlice\n```\nrun `ping 10.0.0.1`", [("10.0.0.1", E.IpAddress), ("Alice", E.Person)],
     {"10.0.0.1": "[IP_1]", "Alice": "[PERSON_1]"}),
    ("custom only inside code", "see `acme`", None, [ent("ACME", E.Org)],
     "see `acme`", [("ACME", E.Org)], {"ACME": "[ORG_1]"}),
    ("tokens in the text are no entities", "Mr. [PERSON_1] met [PERSON_1] Smith in Oslo", None,
     None, "Mr. [PERSON_1] met [PERSON_1] Smith in [PLACE_1]", [("Oslo", E.Place)],
     {"Oslo": "[PLACE_1]"}),
    # A custom text that is itself a token gets a token but is not substituted: no word
    # boundary follows its closing bracket.
    ("custom text that is a token", "ask [PERSON_1]", None, [ent("[PERSON_1]", E.Person)],
     "ask [PERSON_1]", [("[PERSON_1]", E.Person)], {"[PERSON_1]": "[PERSON_1]"}),
]


@pytest.mark.parametrize(
    "text,existing,custom,expected_text,expected_entities,expected_forward",
    [case[1:] for case in CASES],
    ids=[case[0] for case in CASES],
)
def test_anonymize_cases(text, existing, custom, expected_text, expected_entities,
                         expected_forward):
    existing_map = None if existing is None else va.build_token_map(existing)
    expected = (expected_text, expected_entities, len(expected_entities), expected_forward)
    if custom is None:
        assert outcome(va.anonymize(text, existing_map)) == expected
        results = [va.anonymize_with_custom(text, existing_map, c) for c in (None, (), [])]
        assert [outcome(r) for r in results] == [expected] * 3
    else:
        assert outcome(va.anonymize_with_custom(text, existing_map, custom)) == expected


OLD_ENTRIES = {"Alice": "[PERSON_1]", "Oslo": "[PLACE_1]"}


@pytest.mark.parametrize(
    "call,expected_forward",
    [
        (lambda m, c: va.anonymize("Bob met ALICE in Paris", m),
         {**OLD_ENTRIES, "Bob": "[PERSON_2]", "ALICE": "[PERSON_1]", "Paris": "[PLACE_2]"}),
        (lambda m, c: va.anonymize_with_custom("Bob met ALICE at acme", existing=m,
                                               custom_entities=c),
         {**OLD_ENTRIES, "Bob": "[PERSON_2]", "ALICE": "[PERSON_1]", "Acme": "[ORG_1]"}),
    ],
    ids=["anonymize", "anonymize_with_custom"],
)
def test_callers_map_and_entities_are_left_unchanged(call, expected_forward):
    existing = va.build_token_map([ent("Alice", E.Person), ent("Oslo", E.Place)])
    custom = [ent("Acme", E.Org)]
    before = json.loads(existing.to_session_json())
    result = call(existing, custom)
    assert json.loads(existing.to_session_json()) == before
    assert forward(existing) == OLD_ENTRIES and len(existing) == 2
    assert [(e.text, e.entity_type) for e in custom] == [("Acme", E.Org)]
    assert forward(result.token_map) == expected_forward


def test_custom_entities_as_any_sequence():
    custom = (ent("Acme", E.Org), ent("Zed", E.Person))
    expected = outcome(va.anonymize_with_custom("Zed at Acme", None, list(custom)))
    assert outcome(va.anonymize_with_custom("Zed at Acme", None, custom)) == expected
    assert expected[1] == [("Acme", E.Org), ("Zed", E.Person)]


@pytest.mark.parametrize(
    "custom,message",
    [
        ("Alice", "^argument 'custom_entities': Can't extract `str` to `Vec`$"),
        ([("Alice", E.Person)],
         "^argument 'custom_entities': 'tuple' object cannot be converted to 'PyEntity'$"),
        ([ent("Alice", E.Person), None],
         "^argument 'custom_entities': 'NoneType' object cannot be converted to 'PyEntity'$"),
        ({ent("Alice", E.Person)},
         "^argument 'custom_entities': 'set' object cannot be converted to 'Sequence'$"),
    ],
    ids=["str", "tuple item", "None item", "set"],
)
def test_custom_entities_must_be_a_sequence_of_entities(custom, message):
    with pytest.raises(TypeError, match=message):
        va.anonymize_with_custom("Alice", custom_entities=custom)
