"""The module as Python sees it: namespace, docstrings, argument conversion and its exact failures,
AnonymizeResult, immutability, lone surrogates, module life across imports and interpreters."""

import importlib
import inspect
import json
import os
import re
import subprocess
import sys

import pytest

import velk_anonymizer as va

E = va.EntityType
WORKED_TEXT = "Ping @jdoe about BlueHarbor in Dallas, TX"


def test_namespace_and_fresh_tech_allowlist():
    assert va.__all__ == [
        "SESSION_FORMAT_VERSION", "EntityType", "Entity", "TokenMap", "AnonymizeResult",
        "anonymize", "anonymize_with_custom", "deanonymize", "build_token_map", "apply_token_map",
        "get_tech_allowlist"]
    assert all(hasattr(va, name) for name in va.__all__) and va.__doc__ == ""
    assert va.SESSION_FORMAT_VERSION == 1 and type(va.SESSION_FORMAT_VERSION) is int
    assert [cls.__name__ for cls in (va.EntityType, va.Entity, va.TokenMap, va.AnonymizeResult)] \
        == ["PyEntityType", "PyEntity", "PyTokenMap", "PyAnonymizeResult"]
    first = va.get_tech_allowlist()
    assert len(first) == len(set(first)) == 420 and all(type(term) is str for term in first)
    first.clear()
    assert len(va.get_tech_allowlist()) == 420


# (object, docstring, text signature); None where the object has no text signature.
DOCUMENTED = [
    (va.anonymize, "Detect entities in `text` and replace them with stable placeholder tokens.",
     "(text, existing=None)"),
    (va.anonymize_with_custom,
     "Anonymize with caller-supplied custom entities in addition to built-in detectors.",
     "(text, existing=None, custom_entities=None)"),
    (va.deanonymize,
     "Reverse substitution: replace placeholder tokens in `text` with real entities.",
     "(text, token_map)"),
    (va.build_token_map,
     "Build or extend a TokenMap from detected entities with deterministic numbering.",
     "(entities, existing=None)"),
    (va.apply_token_map, "Apply a TokenMap's forward substitutions to text (entity \u2192 token).",
     "(text, token_map)"),
    (va.get_tech_allowlist, "Get the tech allowlist as a list of allowlisted terms.\nThese are "
     "case-sensitive proper nouns (frameworks, languages, SaaS names)\nthat should not be masked "
     "during anonymization.\n\nReturns a list[str] for case-insensitive matching in the parity "
     "tests.", "()"),
    (va.TokenMap.to_session_json, "Serialize this map into a versioned JSON string.", "($self)"),
    (va.TokenMap.from_session_json, "Parse a versioned JSON string back into a TokenMap.\nRaises "
     "ValueError if the JSON is malformed or the version is unsupported.", "(json_str)"),
    (E.token_prefix, 'Get the token prefix for this entity type (e.g., "PERSON", "EMAIL").',
     "(py_et)"),
    (va.Entity, "Python wrapper for Entity (detected span).", "(text, entity_type)"),
    (va.TokenMap, "Python wrapper for TokenMap (bidirectional entity \u2194 token mapping).", "()"),
    (va.AnonymizeResult,
     "Python wrapper for AnonymizeResult (output of anonymize* functions).", None),
    (E, "Python wrapper for EntityType enum.", None),
]


@pytest.mark.parametrize("obj,doc,signature", DOCUMENTED, ids=[d[0].__name__ for d in DOCUMENTED])
def test_docstring_and_text_signature(obj, doc, signature):
    assert obj.__doc__ == doc
    assert obj.__text_signature__ == signature
    if signature is None:
        with pytest.raises(ValueError):
            inspect.signature(obj)
    else:
        assert str(inspect.signature(obj)) == signature.replace("$self", "self, /")


ALICE = va.Entity("Alice", E.Person)
# (call, exact message): binding failures in the interpreter's usual wording, one call for each
# form of message; then conversion failures, which name the parameter and both types, each
# converter refusing each kind of wrong object once.
FAILURES = [
    ("va.anonymize()", "anonymize() missing 1 required positional argument: 'text'"),
    ("va.apply_token_map()",
     "apply_token_map() missing 2 required positional arguments: 'text' and 'token_map'"),
    ("va.Entity('x')", "PyEntity.__new__() missing 1 required positional argument: 'entity_type'"),
    ("va.anonymize('a', None, None)",
     "anonymize() takes from 1 to 2 positional arguments but 3 were given"),
    ("va.TokenMap(1)", "PyTokenMap.__new__() takes 0 positional arguments but 1 was given"),
    ("va.TokenMap().to_session_json(1)", "PyTokenMap.to_session_json() takes no arguments (1 given)"),
    ("va.anonymize('a', x=1)", "anonymize() got an unexpected keyword argument 'x'"),
    ("va.anonymize('a', text='b')", "anonymize() got multiple values for argument 'text'"),
    ("E()", "No constructor defined for PyEntityType"),
    ("va.build_token_map('Alice')", "argument 'entities': Can't extract `str` to `Vec`"),
] + [(call, f"argument '{parameter}': '{found}' object cannot be converted to '{expected}'")
       for call, parameter, found, expected in [
    ("va.anonymize(b'a')", "text", "bytes", "PyString"),
    ("va.anonymize('a', {})", "existing", "dict", "PyTokenMap"),
    ("va.apply_token_map('x', None)", "token_map", "NoneType", "PyTokenMap"),
    ("va.Entity('x', 0)", "entity_type", "int", "PyEntityType"),
    ("va.build_token_map(None)", "entities", "NoneType", "Sequence"),
    ("va.anonymize_with_custom('a', None, 5)", "custom_entities", "int", "Sequence"),
    ("va.anonymize_with_custom('a', custom_entities=[('Alice', E.Person)])", "custom_entities",
     "tuple", "PyEntity"),
]]


@pytest.mark.parametrize("call,message", FAILURES, ids=[c for c, _ in FAILURES])
def test_binding_and_conversion_failures_raise_type_error(call, message):
    with pytest.raises(TypeError) as caught:
        eval(call, {"va": va, "E": E})
    assert str(caught.value) == message


def test_later_arguments_are_not_looked_at_after_a_failure():
    log = []

    class Spy:
        def __len__(self):
            log.append("len")
            return 1

        def __getitem__(self, index):
            log.append("item")
            if index:
                raise IndexError(index)
            return va.Entity("Alice", E.Person)

    spy = Spy()
    with pytest.raises(TypeError, match="argument 'text'"):
        va.anonymize_with_custom(1, None, spy)
    with pytest.raises(TypeError, match="argument 'existing'"):
        va.anonymize_with_custom("Alice", [], spy)
    assert log == []
    result = va.anonymize_with_custom("Alice", None, spy)
    # The caller's Alice keeps the lexicon's Alice out, so it is listed once.
    assert log and [(e.text, e.entity_type) for e in result.entities] == [("Alice", E.Person)]


@pytest.mark.parametrize("call", [
    va.anonymize, lambda s: va.Entity(s, E.Person), va.TokenMap.from_session_json,
    lambda s: va.anonymize(s, existing=1),
], ids=["anonymize", "Entity", "from_session_json", "text before a wrong map"])
def test_lone_surrogates_raise_the_interpreters_unicode_encode_error(call):
    text = "Bob \udc80 Alice"
    with pytest.raises(UnicodeEncodeError) as caught:
        call(text)
    with pytest.raises(UnicodeEncodeError) as reference:
        text.encode("utf-8")
    assert caught.value.args == reference.value.args


def test_result_getters_return_fresh_objects_and_repr_counts_utf8_bytes():
    result = va.anonymize(WORKED_TEXT)
    assert result.token_map is not result.token_map and len(result.token_map) == 4
    entities = result.entities
    assert entities is not result.entities and entities[0] is not result.entities[0]
    entities.clear()
    assert [(e.text, e.entity_type) for e in result.entities] == [
        ("@jdoe", E.Handle), ("Dallas", E.Place), ("TX", E.Place), ("BlueHarbor", E.Project)]
    assert type(result.entity_count) is int and type(result.text) is str
    # "Ping [HANDLE_1] about [PROJECT_1] in [PLACE_1], [PLACE_2]" is 57 bytes long.
    assert [repr(va.anonymize(text)) for text in ("Grüße", WORKED_TEXT, "東京 Bob")] == [
        "AnonymizeResult(text_len=7, entities=0)", "AnonymizeResult(text_len=57, entities=4)",
        "AnonymizeResult(text_len=17, entities=1)"]


def test_entity_map_and_result_compare_and_hash_by_identity():
    for make in (lambda: va.Entity("Alice", E.Person), va.TokenMap, lambda: va.anonymize("Bob")):
        a, b = make(), make()
        assert a == a and a != b and not (a == b)
        assert hash(a) != hash(b) and len({a, b, a}) == 2
        with pytest.raises(TypeError):
            a < b  # noqa: B015


RESULT = va.anonymize(WORKED_TEXT)
READ_ONLY = [(RESULT, "text"), (RESULT, "entities"), (RESULT, "extra"), (ALICE, "text"),
             (ALICE, "entity_type"), (va.TokenMap(), "extra"), (E.Person, "extra")]


@pytest.mark.parametrize("obj,name", READ_ONLY,
                         ids=[f"{type(o).__name__}.{n}" for o, n in READ_ONLY])
def test_instance_attributes_cannot_be_set_or_deleted(obj, name):
    before = repr(obj)
    with pytest.raises(AttributeError):
        setattr(obj, name, 1)
    with pytest.raises(AttributeError):
        delattr(obj, name)
    assert repr(obj) == before


@pytest.mark.parametrize("cls", [E, va.Entity, va.TokenMap, va.AnonymizeResult],
                         ids=lambda cls: cls.__name__)
def test_classes_cannot_be_changed(cls):
    with pytest.raises(TypeError, match="immutable type"):
        cls.probe_attribute = 1  # no other test looks at this name


@pytest.mark.parametrize("length", ["2**62", "10**13"])
def test_reported_length_is_only_a_hint(length):
    # Run apart: should this regress, the interpreter would abort.
    code = ("import velk_anonymizer as va\n"
            f"class Lying:\n    def __len__(self): return {length}\n"
            "    def __getitem__(self, index):\n        if index: raise IndexError(index)\n"
            "        return va.Entity('Bob', va.EntityType.Person)\n"
            "print(len(va.build_token_map(Lying())),\n"
            "      va.anonymize_with_custom('hi bob', None, Lying()).text)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(va.__file__))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "1 hi [PERSON_1]\n"), done.stderr


def test_repeated_initialisation_returns_the_same_module():
    module = sys.modules["velk_anonymizer"]
    assert importlib.reload(va) is module
    del sys.modules["velk_anonymizer"]
    try:
        again = importlib.import_module("velk_anonymizer")
    finally:
        sys.modules["velk_anonymizer"] = module
    assert again is module and len(module.__all__) == 11
    assert module.EntityType is E and module.anonymize(WORKED_TEXT).entity_count == 4


def run_in_subinterpreter(code):
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        testcapi = pytest.importorskip("_testcapi")
        if not hasattr(testcapi, "run_in_subinterp"):
            pytest.skip("this interpreter offers no subinterpreters")
        assert testcapi.run_in_subinterp(code) == 0
        return
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_import_from_a_subinterpreter_raises_import_error(tmp_path):
    report = tmp_path / "report.json"
    run_in_subinterpreter(
        "import json, sys\n"
        f"sys.path.insert(0, {os.path.dirname(va.__file__)!r})\n"
        "try:\n"
        "    import velk_anonymizer\n"
        "    outcome = ['imported', '']\n"
        "except ImportError as error:\n"
        "    outcome = [type(error).__name__, str(error)]\n"
        f"open({str(report)!r}, 'w').write(json.dumps(outcome))\n"
    )
    kind, message = json.loads(report.read_text())
    assert kind == "ImportError"
    assert re.search("do(es)? not support.*subinterpreters", message), message
    # The first interpreter keeps its module.
    assert va.anonymize(WORKED_TEXT).entity_count == 4
