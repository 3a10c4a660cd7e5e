"""`import velk` makes TokenMap, Entity and EntityType picklable (copyreg), so that maps travel
to worker processes."""

import copy
import multiprocessing
import pickle

import pytest

import velk  # noqa: F401  (registers the reductions)
import velk_anonymizer as va

E = va.EntityType
KINDS = [getattr(E, name) for name in ("Person", "Place", "Org", "Project", "Email", "Phone",
                                       "Url", "Handle", "Secret", "IpAddress")]


def sample_map():
    result = va.anonymize("Ping @jdoe about BlueHarbor in Dallas, mail sarah@example.com")
    return va.build_token_map([va.Entity("東京 😀 \"q\"\n", E.Place)], existing=result.token_map)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_kinds_entities_and_maps_round_trip(protocol):
    values = {"kinds": KINDS, "entity": va.Entity("Sarah Miller", E.Person), "map": sample_map()}
    back = pickle.loads(pickle.dumps(values, protocol))
    assert back["kinds"] == KINDS
    assert (back["entity"].text, back["entity"].entity_type) == ("Sarah Miller", E.Person)
    assert back["map"] is not values["map"]
    assert back["map"].to_session_json() == values["map"].to_session_json()
    for copied in (copy.copy(values["map"]), copy.deepcopy(values["map"])):
        assert copied.to_session_json() == values["map"].to_session_json()


def test_a_map_travels_to_a_spawned_pool():
    token_map = sample_map()
    texts = ["[HANDLE_1] in [PLACE_2]", "[EMAIL_1] [PERSON_9]"]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        restored = pool.starmap(va.deanonymize, [(text, token_map) for text in texts])
    assert restored == ["@jdoe in 東京 😀 \"q\"\n", "sarah@example.com [PERSON_9]"]
