"""`import velk` makes TokenMap, Entity and EntityType picklable (copyreg), so that maps travel
to worker processes."""

import copy
import json
import multiprocessing
import pickle
import subprocess
import sys

import pytest

import velk  # noqa: F401  (registers the reductions)
import velk_anonymizer as va

E = va.EntityType
KINDS = [E.Person, E.Place, E.Org, E.Project, E.Email, E.Phone, E.Url, E.Handle, E.Secret,
         E.IpAddress]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def sample_map():
    result = va.anonymize("Ping @jdoe about BlueHarbor in Dallas, mail sarah@example.com")
    extra = [va.Entity("東京 😀 \"q\"\n", E.Place)]
    return va.build_token_map(extra, existing=result.token_map)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_entity_types_entities_and_maps_round_trip(protocol):
    for kind in KINDS:
        assert pickle.loads(pickle.dumps(kind, protocol)) == kind
    entity = va.Entity("Sarah Miller", E.Person)
    back = pickle.loads(pickle.dumps(entity, protocol))
    assert (back.text, back.entity_type) == ("Sarah Miller", E.Person)
    original = sample_map()
    restored = pickle.loads(pickle.dumps(original, protocol))
    assert isinstance(restored, va.TokenMap) and restored is not original
    assert json.loads(restored.to_session_json()) == json.loads(original.to_session_json())
    assert va.deanonymize("[PLACE_2] [HANDLE_1]", restored) == "東京 😀 \"q\"\n @jdoe"


def test_copy_and_deepcopy_and_nested_values():
    original = sample_map()
    for copied in (copy.copy(original), copy.deepcopy(original)):
        assert json.loads(copied.to_session_json()) == json.loads(original.to_session_json())
    nested = {"map": original, "entities": [va.Entity("x", E.Secret)], "kind": E.Url}
    back = pickle.loads(pickle.dumps(nested))
    assert len(back["map"]) == len(original)
    assert back["entities"][0].entity_type == E.Secret and back["kind"] == E.Url


def test_a_map_travels_to_a_spawned_pool():
    token_map = sample_map()
    texts = ["[HANDLE_1] in [PLACE_1]", "[PROJECT_1]", "[EMAIL_1] [PERSON_9]"]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        restored = pool.starmap(va.deanonymize, [(text, token_map) for text in texts])
        applied = pool.starmap(va.apply_token_map, [("ask @jdoe", token_map)] * 2)
    assert restored == [va.deanonymize(text, token_map) for text in texts]
    assert restored[0] == "@jdoe in Dallas"
    assert applied == ["ask [HANDLE_1]"] * 2


def test_without_velk_the_module_alone_does_not_pickle():
    code = ("import pickle, velk_anonymizer as va\n"
            "try:\n    pickle.dumps(va.TokenMap())\nexcept TypeError:\n    print('refused')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "refused\n"
