"""Pickling support for the extension module's values, registered through :mod:`copyreg` when
:mod:`velk` is imported: ``TokenMap`` (by way of its session document), ``Entity`` and
``EntityType`` (by name). Maps can then travel to worker processes, ``multiprocessing`` pools
and Dask workers; ``copy.copy`` and ``copy.deepcopy`` work too. Unpickling imports
:mod:`velk`, which needs nothing but the module."""

from __future__ import annotations

import copyreg
from collections.abc import Callable

import velk_anonymizer as va

__all__ = ["register"]

_TYPE_NAMES: dict[int, str] = {
    int(value): name
    for name, value in vars(va.EntityType).items()
    if isinstance(value, va.EntityType)
}


def entity_type_from_name(name: str) -> va.EntityType:
    """The entity type called ``name`` (such as ``"Person"``)."""
    value = getattr(va.EntityType, name)
    if not isinstance(value, va.EntityType):
        raise ValueError(f"no entity type is called {name!r}")
    return value


def token_map_from_session(document: str) -> va.TokenMap:
    """The map that a session document holds."""
    return va.TokenMap.from_session_json(document)


def entity_from_parts(text: str, entity_type: va.EntityType) -> va.Entity:
    return va.Entity(text, entity_type)


def _reduce_entity_type(
    value: va.EntityType,
) -> tuple[Callable[[str], va.EntityType], tuple[str]]:
    return entity_type_from_name, (_TYPE_NAMES[int(value)],)


def _reduce_entity(
    value: va.Entity,
) -> tuple[Callable[[str, va.EntityType], va.Entity], tuple[str, va.EntityType]]:
    return entity_from_parts, (value.text, value.entity_type)


def _reduce_token_map(value: va.TokenMap) -> tuple[Callable[[str], va.TokenMap], tuple[str]]:
    return token_map_from_session, (value.to_session_json(),)


def register() -> None:
    """Registers the reductions (done once on ``import velk``; doing it again changes nothing)."""
    copyreg.pickle(va.EntityType, _reduce_entity_type)
    copyreg.pickle(va.Entity, _reduce_entity)
    copyreg.pickle(va.TokenMap, _reduce_token_map)
