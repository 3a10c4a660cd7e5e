#!/usr/bin/env python3
"""Fuzzes the Python surface of velk_anonymizer with atheris.

Each input drives a short session of random calls: every module function, constructor, method
and slot, with random argument counts, keywords and argument types (strings with lone
surrogates, str subclasses, bytes, numbers, maps, entities, kinds, results, sequences that lie
about their length or fail while being iterated, objects with a failing __index__, and the
objects earlier calls returned). A call may only succeed with a value of the documented type or
raise one of the documented exceptions (TypeError, ValueError from the session reader,
UnicodeEncodeError for lone surrogates), or the exception one of our hostile objects raised
itself. Anything else, or the interpreter dying, is a finding.

Run through scripts/fuzz.sh, which passes libFuzzer's arguments.
"""

import sys

import atheris

import velk_anonymizer as va

E = va.EntityType
KINDS = [E.Person, E.Place, E.Org, E.Project, E.Email, E.Phone, E.Url, E.Handle, E.Secret,
         E.IpAddress]
PIECES = ["Alice", "alice", "Sarah Miller", "Dr.", "Inc.", " ", "\n", "```\n", "~~~\n", "`",
          "\\`", "[PERSON_1]", "[ORG_4294967296]", "@jdoe", "https://a.io/x", "a@b.com",
          "555-123-4567", "10.0.0.1", "BlueHarbor", "Python", "Dallas, TX", "\u0130", "\u03a3",
          "\u00df", "\u212a", "\u0301", "\u200d", "\U0001d400", "\x00", "\ud800", "\udfff",
          '"', "{", "}", "version", "tokenMap", "forward", "reverse", ":", ","]
SESSION = ('{"version":1,"tokenMap":{"forward":{"Alice":"[PERSON_1]"},'
           '"reverse":{"[PERSON_1]":"Alice"}}}')


class Hostile(Exception):
    """Raised by the fuzzer's own objects; the module must pass it on unchanged."""


class Text(str):
    pass


class LyingSequence:
    """A sequence whose length, items and iteration are chosen by the input."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise Hostile("__len__")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[index]

    def __iter__(self):
        for index, item in enumerate(self.items):
            if index == self.fail_at:
                raise Hostile("__iter__")
            yield item


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise Hostile("__index__")
        return self.value


class Session:
    """State of one input: the data provider and the objects earlier calls returned."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.maps = [va.TokenMap(), va.TokenMap.from_session_json(SESSION)]
        self.results = [va.anonymize("Ping @jdoe about BlueHarbor in Dallas, TX")]
        self.entities = [va.Entity("Alice", E.Person), va.Entity("", E.Org)]

    def pick(self, values):
        return values[self.fdp.ConsumeIntInRange(0, len(values) - 1)]

    def text(self):
        fdp = self.fdp
        if fdp.ConsumeBool():
            return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 64))
        return "".join(self.pick(PIECES) for _ in range(fdp.ConsumeIntInRange(0, 12)))

    def entity(self):
        if self.fdp.ConsumeBool():
            return self.pick(self.entities)
        text = self.text().encode("utf-8", "replace").decode("utf-8")
        return va.Entity(text, self.pick(KINDS))

    def sequence_items(self):
        items = [self.entity() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        if self.fdp.ConsumeIntInRange(0, 5) == 0:
            items.insert(self.fdp.ConsumeIntInRange(0, len(items)), self.value(depth=1))
        return items

    def value(self, depth=0):
        """Any argument: mostly of a useful type, often not."""
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 24)
        if choice <= 4:
            return self.text()
        if choice == 5:
            return Text(self.text())
        if choice == 6:
            return self.text().encode("utf-8", "surrogatepass")
        if choice <= 8:
            return self.pick(self.maps)
        if choice == 9:
            return self.pick(self.results)
        if choice == 10:
            return self.entity()
        if choice == 11:
            return self.pick(KINDS)
        if choice == 12:
            return self.sequence_items()
        if choice == 13:
            return tuple(self.sequence_items())
        if choice == 14 and depth == 0:
            length = self.pick([None, 0, 1, 2**62, -1, 10**13])
            return LyingSequence(self.sequence_items(), length,
                                 fdp.ConsumeIntInRange(-1, 4))
        if choice == 15:
            return self.pick([None, 0, -1, 2**64, 3.5, True, float("nan")])
        if choice == 16:
            return Index(self.pick([None, 0, 2, 9, -(2**70)]))
        if choice == 17:
            return self.pick([set(), {}, {"a": 1}, range(0), range(3), iter([]), object(),
                              va, va.TokenMap, va.Entity, E, type])
        if choice == 18:
            return SESSION if fdp.ConsumeBool() else SESSION[:fdp.ConsumeIntInRange(0, 90)]
        return None

    def value_for(self, name):
        """Mostly a value of the type parameter `name` takes, sometimes any value."""
        fdp = self.fdp
        if fdp.ConsumeIntInRange(0, 4) == 0:
            return self.value()
        if name in ("text", "json_str"):
            if name == "json_str" and fdp.ConsumeBool():
                return self.pick(self.maps).to_session_json()
            return Text(self.text()) if fdp.ConsumeIntInRange(0, 7) == 0 else self.text()
        if name in ("existing", "token_map"):
            return None if name == "existing" and fdp.ConsumeBool() else self.pick(self.maps)
        if name in ("entities", "custom_entities"):
            return self.pick([list, tuple])(self.sequence_items())
        if name in ("entity_type", "py_et"):
            return self.pick(KINDS)
        return self.value()

    def arguments(self, names):
        """Positional and keyword arguments for a callable whose parameters are `names`."""
        fdp = self.fdp
        positional = [self.value() for _ in range(fdp.ConsumeIntInRange(0, len(names) + 1))]
        keywords = {}
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            name = self.pick(list(names) + ["bogus"]) if names else "bogus"
            keywords[name] = self.value()
        if fdp.ConsumeIntInRange(0, 3) != 0:
            # A well-formed call: every parameter once (optional ones sometimes left out), by
            # position or by keyword, with values mostly of the right type.
            positional, keywords = [], {}
            for name in names:
                if fdp.ConsumeIntInRange(0, 5) == 0:
                    continue
                if fdp.ConsumeBool():
                    keywords[name] = self.value_for(name)
                elif not keywords:
                    positional.append(self.value_for(name))
        return positional, keywords


def check_type(value, expected, what):
    if not isinstance(value, expected):
        raise AssertionError(f"{what} returned {type(value).__name__}, not {expected}")


def remember(session, value):
    if isinstance(value, va.TokenMap):
        session.maps.append(value)
    elif isinstance(value, va.AnonymizeResult):
        session.results.append(value)
    elif isinstance(value, va.Entity):
        session.entities.append(value)


def call(session, what, function, names, returns, errors):
    """Calls `function` with random arguments; checks the result type (`returns`, empty when
    no call may succeed) or the exception (`errors` beyond the ones every call may raise)."""
    positional, keywords = session.arguments(names)
    try:
        value = function(*positional, **keywords)
    except (TypeError, UnicodeEncodeError, Hostile):
        return
    except Exception as error:  # noqa: BLE001 - every other exception is a finding
        if not isinstance(error, errors):
            raise AssertionError(f"{what}{tuple(positional)!r} {keywords!r} raised {error!r}")
        return
    if not returns:
        raise AssertionError(f"{what}{tuple(positional)!r} {keywords!r} succeeded")
    check_type(value, returns, what)
    remember(session, value)
    return value


def exercise_result(session, result):
    check_type(result.text, str, "AnonymizeResult.text")
    check_type(result.token_map, va.TokenMap, "AnonymizeResult.token_map")
    entities = result.entities
    check_type(entities, list, "AnonymizeResult.entities")
    if result.entity_count != len(entities):
        raise AssertionError("entity_count differs from len(entities)")
    for entity in entities:
        check_type(entity.text, str, "Entity.text")
        check_type(entity.entity_type, E, "Entity.entity_type")
        check_type(repr(entity), str, "repr(Entity)")
    check_type(repr(result), str, "repr(AnonymizeResult)")
    remember(session, result.token_map)
    if entities:
        remember(session, session.pick(entities))


def exercise_map(session, token_map):
    size = len(token_map)
    document = token_map.to_session_json()
    restored = va.TokenMap.from_session_json(document)
    if len(restored) != size or bool(token_map) != (size > 0):
        raise AssertionError(f"a session of {size} entries read back as {len(restored)}")
    check_type(repr(token_map), str, "repr(TokenMap)")


def exercise_kind(session, kind):
    other = session.value()
    # Equality never raises: a failing __index__ is cleared and identity decides.
    check_type(kind == other, bool, "EntityType ==")
    check_type(kind != other, bool, "EntityType !=")
    for order in (lambda: kind < other, lambda: kind <= other, lambda: kind > other,
                  lambda: kind >= other):
        try:
            order()
        except TypeError:
            continue
        raise AssertionError(f"ordering EntityType against {other!r} did not raise TypeError")
    check_type(hash(kind), int, "hash(EntityType)")
    check_type(int(kind), int, "int(EntityType)")


def try_to_change(session, target):
    name = session.pick(["text", "token_map", "entities", "entity_count", "entity_type",
                         "Person", "extra", "__class__"])
    try:
        setattr(target, name, session.value())
    except (AttributeError, TypeError):
        pass
    else:
        raise AssertionError(f"setting {name} on {type(target).__name__} succeeded")


OPERATIONS = [
    ("anonymize", va.anonymize, ("text", "existing"), va.AnonymizeResult, ()),
    ("anonymize_with_custom", va.anonymize_with_custom,
     ("text", "existing", "custom_entities"), va.AnonymizeResult, ()),
    ("deanonymize", va.deanonymize, ("text", "token_map"), str, ()),
    ("apply_token_map", va.apply_token_map, ("text", "token_map"), str, ()),
    ("build_token_map", va.build_token_map, ("entities", "existing"), va.TokenMap, ()),
    ("get_tech_allowlist", va.get_tech_allowlist, (), list, ()),
    ("from_session_json", va.TokenMap.from_session_json, ("json_str",), va.TokenMap,
     (ValueError,)),
    ("Entity", va.Entity, ("text", "entity_type"), va.Entity, ()),
    ("TokenMap", va.TokenMap, (), va.TokenMap, ()),
    ("token_prefix", E.token_prefix, ("py_et",), str, ()),
    # Classes without a constructor: no call may succeed.
    ("AnonymizeResult", va.AnonymizeResult, ("text",), (), ()),
    ("EntityType", va.EntityType, ("value",), (), ()),
]


def test_one_input(data):
    session = Session(data)
    fdp = session.fdp
    for _ in range(fdp.ConsumeIntInRange(1, 8)):
        step = fdp.ConsumeIntInRange(0, len(OPERATIONS) + 4)
        if step < len(OPERATIONS):
            what, function, names, returns, errors = OPERATIONS[step]
            call(session, what, function, names, returns, errors)
        elif step == len(OPERATIONS):
            exercise_result(session, session.pick(session.results))
        elif step == len(OPERATIONS) + 1:
            exercise_map(session, session.pick(session.maps))
        elif step == len(OPERATIONS) + 2:
            exercise_kind(session, session.pick(KINDS))
        elif step == len(OPERATIONS) + 3:
            method = session.pick(session.maps).to_session_json
            call(session, "to_session_json", method, (), str, ())
        else:
            try_to_change(session, session.pick(
                [session.pick(session.results), session.pick(session.maps),
                 session.pick(session.entities), session.pick(KINDS), E, va.TokenMap]))


def main():
    # The module is native code; coverage comes from this driver's own branches.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
