"""A short tour: build a token map, anonymize text with it, and restore the original."""

import velk_anonymizer as va

E = va.EntityType
text = (
    "Alice asked Bob to ping alice@example.com about the Dallas rollout.\n"
    "```\ngit push origin Alice\n```\n"
    "Bob said `Alice` will check it."
)
entities = [
    va.Entity("Alice", E.Person),
    va.Entity("Bob", E.Person),
    va.Entity("alice@example.com", E.Email),
    va.Entity("Dallas", E.Place),
]
token_map = va.build_token_map(entities)
anonymized = va.apply_token_map(text, token_map)
restored = va.deanonymize(anonymized, token_map)

print("original:\n" + text + "\n")
print("anonymized:\n" + anonymized + "\n")
print("restored:\n" + restored)
assert restored == text
