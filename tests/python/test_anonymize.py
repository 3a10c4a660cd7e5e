"""anonymize and anonymize_with_custom from Python: caller entities from any sequence or none,
and the caller's objects left as they were. The worked call and a chained one run as the README
shows them (test_readme.py); the detection rules are pinned by the C++ suites."""

import json

import velk_anonymizer as va

E = va.EntityType

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
