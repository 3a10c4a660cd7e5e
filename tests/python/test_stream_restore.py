"""velk.StreamRestorer: however a text is cut into chunks, the outputs put together equal
deanonymize of the whole text; only a suffix that could still become a known key is held back."""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velk
import velk_anonymizer as va
from velk.stream import restorable_keys

E = va.EntityType
KINDS = [E.Person, E.Place, E.Org, E.Project, E.Email, E.Secret]
# Token syntax, near-token syntax, words, non-ASCII of every length, a mark, an Arabic digit.
TEXT_ALPHABET = "[]_PERSONLACXY0129 abx\né東😀\u0301\u0663"


def hand_made(reverse):
    """A map from a hand-made session document."""
    return va.TokenMap.from_session_json(json.dumps([1, [{}, reverse]]))


@st.composite
def built_maps(draw):
    """Maps as anonymize builds them: whole tokens such as [PERSON_1] as keys."""
    entities = draw(st.lists(st.tuples(st.text(TEXT_ALPHABET + "-.@", max_size=8),
                                       st.sampled_from(KINDS)), max_size=12))
    return va.build_token_map([va.Entity(text, kind) for text, kind in entities])


@st.composite
def hand_made_maps(draw):
    """Keys of any shape from a small alphabet, so that they overlap, nest and repeat; some
    values hold tokens (such entries are never restored)."""
    keys = st.one_of(st.text("ab[]_X1é", min_size=1, max_size=6),
                     st.builds(lambda p, n: f"[{p}_{n}]", st.sampled_from(["A", "X", "PERSON"]),
                               st.integers(0, 12)))
    values = st.one_of(st.text(TEXT_ALPHABET, max_size=8), st.just("x[PERSON_2]y"))
    return hand_made(draw(st.dictionaries(keys, values, max_size=8)))


@st.composite
def texts_for(draw, token_map):
    """Known keys, their prefixes, suffixes and near misses, unknown tokens and other text."""
    keys = sorted(json.loads(token_map.to_session_json())["tokenMap"]["reverse"])
    piece = [st.text(TEXT_ALPHABET, max_size=6),
             st.sampled_from(["[", "]", "[PERSON_", "[PERSON_1", "PERSON_1]", "[person_1]",
                              "[PERSON_1x]", "[PERSON_99]", "[PERSON_\u0663]", "[PERSON_12]_1]"])]
    if keys:
        key = st.sampled_from(keys)
        piece += [key, key, st.builds(lambda k, n: k[:n], key, st.integers(0, 12)),
                  st.builds(lambda k, n: k[n:], key, st.integers(0, 12)),
                  st.builds(lambda k: k + k, key)]
    return "".join(draw(st.lists(st.one_of(*piece), max_size=14)))


def chunks_of(draw, text):
    """``text`` cut at random points, down to one character a chunk, empty chunks included."""
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=len(text) + 3)))
    bounds = [0, *cuts, len(text)]
    return [text[a:b] for a, b in zip(bounds, bounds[1:])]


def check(token_map, chunks, exact):
    """The outputs put together restore the whole text, and no output ends inside a key; when the
    keys are whole tokens (exact), what is held back after each chunk is exactly the longest
    suffix received that is a proper prefix of a key."""
    text = "".join(chunks)
    keys = restorable_keys(token_map)
    prefixes = {key[:n] for key in keys for n in range(1, len(key))}
    restorer = velk.StreamRestorer(token_map)
    outputs, received = [], 0
    for chunk in chunks:
        outputs.append(restorer.feed(chunk))
        received += len(chunk)
        cut = received - len(restorer.held_back)
        assert not any(text.startswith(key, start) for key in keys
                       for start in range(max(0, cut - len(key) + 1), cut)), (text, cut)
        if exact:
            held = max((n for n in range(1, received + 1)
                        if text[received - n:received] in prefixes), default=0)
            assert restorer.held_back == text[received - held:received]
    outputs.append(restorer.flush())
    assert restorer.held_back == ""
    assert "".join(outputs) == va.deanonymize(text, token_map)


@settings(max_examples=800, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_any_chunking_restores_like_deanonymize_holding_back_only_a_possible_key(data):
    built = data.draw(st.booleans())  # built maps have whole tokens as keys
    token_map = data.draw(built_maps() if built else hand_made_maps())
    text = data.draw(texts_for(token_map))
    check(token_map, chunks_of(data.draw, text), built)
    check(token_map, list(text), built)


def test_brackets_that_start_no_known_token_go_out_at_once():
    token_map = va.build_token_map([va.Entity(f"name{n}", E.Person) for n in range(1, 13)])
    restorer = velk.StreamRestorer(token_map)
    steps = [("Hello [", "Hello ", "["), ("x] and [PERS", "[x] and ", "[PERS"),
             ("ON_1", "", "[PERSON_1"), ("2", "", "[PERSON_12"),
             ("] said [PERSON_20] [PERSON_1x] [PERSON_", "name12 said [PERSON_20] [PERSON_1x] ",
              "[PERSON_")]
    for chunk, output, held in steps:
        assert (restorer.feed(chunk), restorer.held_back) == (output, held)
    assert (restorer.flush(), restorer.flush()) == ("[PERSON_", "")
    assert restorer.feed("[PERSON_1]") == "name1"  # ready for the next text


def test_entries_whose_text_holds_a_token_are_not_held_for():
    token_map = hand_made({"[PERSON_1]": "see [PERSON_2]", "[PERSON_2]": "Ann"})
    assert restorable_keys(token_map) == {"[PERSON_2]"}
    assert velk.StreamRestorer(token_map).feed("[PERSON_1") == "[PERSON_1"
    with pytest.raises(TypeError, match="chunk must be str, not bytes"):
        velk.StreamRestorer(token_map).feed(b"[PERSON_1]")

