"""Type information for the velk_anonymizer extension module."""

from collections.abc import Sequence
from typing import final

__all__ = [
    "SESSION_FORMAT_VERSION",
    "EntityType",
    "Entity",
    "TokenMap",
    "AnonymizeResult",
    "anonymize",
    "anonymize_with_custom",
    "deanonymize",
    "build_token_map",
    "apply_token_map",
    "get_tech_allowlist",
]

SESSION_FORMAT_VERSION: int

@final
class EntityType:
    Person: EntityType
    Place: EntityType
    Org: EntityType
    Project: EntityType
    Email: EntityType
    Phone: EntityType
    Url: EntityType
    Handle: EntityType
    Secret: EntityType
    IpAddress: EntityType
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    @staticmethod
    def token_prefix(py_et: EntityType) -> str: ...

@final
class Entity:
    def __new__(cls, text: str, entity_type: EntityType) -> Entity: ...
    @property
    def text(self) -> str: ...
    @property
    def entity_type(self) -> EntityType: ...

@final
class TokenMap:
    def __new__(cls) -> TokenMap: ...
    def __len__(self) -> int: ...
    def to_session_json(self) -> str: ...
    @staticmethod
    def from_session_json(json_str: str) -> TokenMap: ...

@final
class AnonymizeResult:
    @property
    def text(self) -> str: ...
    @property
    def token_map(self) -> TokenMap: ...
    @property
    def entity_count(self) -> int: ...
    @property
    def entities(self) -> list[Entity]: ...

def anonymize(text: str, existing: TokenMap | None = None) -> AnonymizeResult: ...
def anonymize_with_custom(
    text: str,
    existing: TokenMap | None = None,
    custom_entities: Sequence[Entity] | None = None,
) -> AnonymizeResult: ...
def deanonymize(text: str, token_map: TokenMap) -> str: ...
def build_token_map(entities: Sequence[Entity], existing: TokenMap | None = None) -> TokenMap: ...
def apply_token_map(text: str, token_map: TokenMap) -> str: ...
def get_tech_allowlist() -> list[str]: ...
