"""Extra detection: private data that the module's own detectors miss, found in Python and
handed to the module as custom entities.

:func:`extra_entities` reports, outside Markdown code, each text once and in text order:

- phone numbers in international and national formats, checked with ``phonenumbers``;
- keys and tokens, whole: the vendor token shapes of ``detect-secrets`` (AWS key ids, GitHub,
  GitLab, Slack, Stripe, SendGrid, Twilio, Discord, Telegram, PyPI and others) and of the
  formats it does not know or knows in part (fine-grained GitHub tokens, ``sk-proj-`` keys,
  Google API keys, Stripe test keys, JWTs with all three parts, private key blocks, AWS secret
  keys), passwords in URLs and in ``password=`` or ``secret:`` assignments;
- people: a capitalised given name from a dictionary of many countries with the capitalised
  words after it, and capitalised words after an honorific, after "ask", "ping", "cc" and the
  like, or before "said", "wrote" and the like;
- organisations: a legal form (GmbH, Inc, Ltd, Pty Ltd, S.A., Sp. z o.o. ...) with the
  capitalised words before it;
- places: countries, US states and cities, multi-word names included.

Lower-case words, words of the module's technical allowlist and words shaped like code
(``PostgreSQL``, ``K8s``, ``get_user``) are never names, places or companies.

:func:`anonymize` runs the module's detectors with these entities added.
"""

from __future__ import annotations

import bisect
import functools
import re
from collections.abc import Iterator, Sequence

import velk_anonymizer as va

from velk._extra_tables import first_names, places, tech_terms

__all__ = ["anonymize", "extra_entities"]

Span = tuple[int, int, str, va.EntityType]

PERSON = va.EntityType.Person
PLACE = va.EntityType.Place
ORG = va.EntityType.Org
PHONE = va.EntityType.Phone
SECRET = va.EntityType.Secret


def anonymize(
    text: str,
    existing: va.TokenMap | None = None,
    custom_entities: Sequence[va.Entity] | None = None,
    *,
    extra: bool = True,
) -> va.AnonymizeResult:
    """``velk_anonymizer.anonymize_with_custom`` with, when ``extra`` is true, the entities of
    :func:`extra_entities` that the module did not find itself, after the caller's.

    The module runs first on its own: what it finds keeps the kind and the token number it
    would have without ``extra`` (a custom entity would take a text away from its own
    detectors and be numbered after them), and a text in which the extra detectors find
    nothing new costs one call."""
    entities = list(custom_entities) if custom_entities is not None else []
    result = va.anonymize_with_custom(text, existing, entities)
    if not extra:
        return result
    known = {entity.text.lower() for entity in result.entities}
    new = [entity for entity in extra_entities(text) if entity.text.lower() not in known]
    if not new:
        return result
    extended = va.anonymize_with_custom(text, existing, entities + new)
    if va.deanonymize(extended.text, extended.token_map) == text or (
        va.deanonymize(result.text, result.token_map) != text
    ):
        return extended
    # The map's substitution takes some letters for word edges ("ğ" in "Hayrioğlu"), so a
    # short name can be replaced inside a longer word and restored in its own case. Such
    # names are left out rather than let the round trip change the text.
    new = [entity for entity in new if not _inside_a_word(text, entity.text)]
    extended = va.anonymize_with_custom(text, existing, entities + new)
    if va.deanonymize(extended.text, extended.token_map) == text:
        return extended
    return result


def _inside_a_word(text: str, part: str) -> bool:
    """Whether ``part`` occurs in ``text`` (ignoring case) with a letter or digit next to it."""
    lower, part = text.lower(), part.lower()
    position = lower.find(part)
    while position >= 0:
        end = position + len(part)
        if (position > 0 and lower[position - 1].isalnum()) or (
            end < len(lower) and lower[end].isalnum()
        ):
            return True
        position = lower.find(part, position + 1)
    return False


def extra_entities(text: str) -> list[va.Entity]:
    """The extra detectors' entities in ``text``: whole texts as they stand in it, each once,
    in the order of their first occurrence. Markdown code (fenced blocks, backtick spans) is
    not looked at."""
    spans: list[Span] = []
    for start, end in _prose(text):
        segment_spans = list(_secrets(text, start, end))
        segment_spans += _phones(text, start, end)
        orgs = list(_organisations(text, start, end))
        spans += orgs
        spans += _people_and_places(text, start, end, orgs)
        spans += segment_spans
    spans.sort(key=lambda span: (span[0], -span[1]))
    entities: list[va.Entity] = []
    seen: set[str] = set()
    covered_to = -1
    for start, end, found, kind in spans:
        if end <= covered_to and start < covered_to:
            continue  # inside a longer entity found at the same place
        covered_to = max(covered_to, end)
        if found not in seen:
            seen.add(found)
            entities.append(va.Entity(found, kind))
    return entities


# --- code ---------------------------------------------------------------------------------

_FENCE_OPEN = re.compile(r"^[ \t]{0,3}(`{3,}|~{3,})", re.M)
_INLINE_CODE = re.compile(r"(`+)(?!`).+?(?<!`)\1(?!`)", re.S)


@functools.cache
def _fence_close(fence: str) -> re.Pattern[str]:
    return re.compile(r"^[ \t]{0,3}" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}[ \t]*$",
                      re.M)


def _prose(text: str) -> list[tuple[int, int]]:
    """The stretches of ``text`` outside Markdown code: fenced blocks (to their closing fence
    or the end of the text) and backtick spans. Code is left to the module, which never
    changes it; reading names in it would only find identifiers."""
    if "`" not in text and "~" not in text:
        return [(0, len(text))]
    code: list[tuple[int, int]] = []
    pos = 0
    while (opening := _FENCE_OPEN.search(text, pos)) is not None:
        line_end = text.find("\n", opening.end())
        closing = None if line_end < 0 else _fence_close(opening[1]).search(text, line_end + 1)
        end = len(text) if closing is None else closing.end()
        code.append((opening.start(), end))
        pos = end
    prose: list[tuple[int, int]] = []
    pos = 0
    for start, end in code + [(len(text), len(text))]:
        inline_pos = pos
        while (span := _INLINE_CODE.search(text, inline_pos, start)) is not None:
            if span.start() > inline_pos:
                prose.append((inline_pos, span.start()))
            inline_pos = span.end()
        if start > inline_pos:
            prose.append((inline_pos, start))
        pos = end
    return prose


# --- keys, tokens and passwords -------------------------------------------------------------

# Characters of a token: a rule's match is widened to the whole run of them, so that a key is
# reported whole even where a rule matches only its distinctive part.
_TOKEN_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-")

# Formats that detect-secrets does not know, or knows only in part (its JWT rule stops after
# the second part, its Stripe rule knows live keys of 24 characters, its OpenAI rule the old
# keys with the T3BlbkFJ marker, its private-key rule the first line).
_OWN_SECRET_RULES = [
    re.compile(r"github_pat_[A-Za-z0-9_]{22,}"),
    re.compile(r"gh[pousr]_[A-Za-z0-9_]{30,}"),
    re.compile(r"(?:sk|rk)_(?:live|test)_[0-9A-Za-z]{10,}"),
    re.compile(r"(?<![\w-])sk-(?:[A-Za-z0-9]+-)*(?=[A-Za-z0-9_-]*\d)[A-Za-z0-9_-]{20,}"),
    re.compile(r"AIza[0-9A-Za-z_-]{35}"),
    re.compile(r"(?<![\w.-])eyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+"),
    re.compile(r"xox[abposr]-[A-Za-z0-9-]{10,}"),
    # An AWS secret access key: 40 characters of base64 with both cases and a digit (a git
    # hash has no capitals).
    re.compile(
        r"(?<![A-Za-z0-9/+=])(?=[A-Za-z0-9/+]*[a-z])(?=[A-Za-z0-9/+]*[A-Z])"
        r"(?=[A-Za-z0-9/+]*[0-9])[A-Za-z0-9/+]{40}(?![A-Za-z0-9/+=])"
    ),
]

_PRIVATE_KEY = re.compile(
    r"-----BEGIN (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----"
    r"(?:.*?-----END (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----|.*?(?=\n[ \t]*\n)|.*)",
    re.S,
)

# A value assigned to a name that says it is a password or a secret: `password=...`,
# `DB_PASSWORD: ...`, `"client_secret": "..."`. The value runs to white space or its quote.
_ASSIGNED_SECRET = re.compile(
    r"(?i)(?<![A-Za-z])[\w.-]*?(?:password|passwd|pwd|passphrase|secret|api[_-]?key|apikey|"
    r"access[_-]?key|auth[_-]?token|private[_-]?key|token)[\w-]*[\"']?[ \t]*[:=][ \t]*"
    r"(?:\"([^\"\n]+)\"|'([^'\n]+)'|([^\s\"',;]+))"
)
_PLACEHOLDER_VALUE = re.compile(
    r"^(?:\[[A-Z]+_\d+\]|\$\{?\w+\}?|<[^>]*>|\*+|x+|\.+|null|none|true|false|redacted|"
    r"changeme|your[_-].*|os\.environ.*|env\(.*|process\.env.*)$",
    re.I,
)


@functools.cache
def _vendor_rules() -> tuple[re.Pattern[str], ...]:
    """The token shapes of the detect-secrets plugins that recognise a token by its shape
    alone; the plugins that need a keyword or a file format around the token are left out."""
    from detect_secrets.plugins.aws import AWSKeyDetector
    from detect_secrets.plugins.discord import DiscordBotTokenDetector
    from detect_secrets.plugins.github_token import GitHubTokenDetector
    from detect_secrets.plugins.gitlab_token import GitLabTokenDetector
    from detect_secrets.plugins.mailchimp import MailchimpDetector
    from detect_secrets.plugins.openai import OpenAIDetector
    from detect_secrets.plugins.pypi_token import PypiTokenDetector
    from detect_secrets.plugins.sendgrid import SendGridDetector
    from detect_secrets.plugins.slack import SlackDetector
    from detect_secrets.plugins.square_oauth import SquareOAuthDetector
    from detect_secrets.plugins.stripe import StripeDetector
    from detect_secrets.plugins.telegram_token import TelegramBotTokenDetector
    from detect_secrets.plugins.twilio import TwilioKeyDetector

    rules = [next(iter(AWSKeyDetector().denylist))]  # the key id; the second rule is a
    # keyword rule for quoted secret keys, which the shape rule above covers
    for plugin in (
        DiscordBotTokenDetector, GitHubTokenDetector, GitLabTokenDetector, MailchimpDetector,
        OpenAIDetector, PypiTokenDetector, SendGridDetector, SlackDetector, SquareOAuthDetector,
        StripeDetector, TelegramBotTokenDetector, TwilioKeyDetector,
    ):
        rules.extend(plugin().denylist)
    return tuple(rules)


@functools.cache
def _url_password_rule() -> re.Pattern[str]:
    from detect_secrets.plugins.basic_auth import BasicAuthDetector

    return next(iter(BasicAuthDetector().denylist))


def _widened(text: str, start: int, end: int, low: int, high: int) -> tuple[int, int]:
    while start > low and text[start - 1] in _TOKEN_CHARS:
        start -= 1
    while end < high and text[end] in _TOKEN_CHARS:
        end += 1
    return start, end


# Every key or token that a shape rule knows has a run of this many token characters (with
# the dots of a JWT and the slashes of a base64 key); only around such runs are the rules run.
_LONG_RUN = re.compile(r"[A-Za-z0-9_\-+/=.:]{16,}")
_SECRET_NAME = re.compile(r"(?i)pass|pwd|secret|key|token")


def _secrets(text: str, low: int, high: int) -> Iterator[Span]:
    for run in _LONG_RUN.finditer(text, low, high):
        # A few characters before the run, for the rules that look behind.
        run_low = max(low, run.start() - 1)
        for rule in (*_vendor_rules(), *_OWN_SECRET_RULES):
            for match in rule.finditer(text, run_low, run.end()):
                start, end = _widened(text, match.start(), match.end(), low, high)
                yield start, end, text[start:end], SECRET
    if "PRIVATE KEY" in text:
        for match in _PRIVATE_KEY.finditer(text, low, high):
            found = match.group().rstrip()
            yield match.start(), match.start() + len(found), found, SECRET
    if "://" in text:
        for match in _url_password_rule().finditer(text, low, high):
            yield match.start(1), match.end(1), match[1], SECRET
    if _SECRET_NAME.search(text, low, high) is None:
        return
    for match in _ASSIGNED_SECRET.finditer(text, low, high):
        group = match.lastindex or 3
        value = match[group]
        if _secret_like(value):
            yield match.start(group), match.end(group), value, SECRET


def _secret_like(value: str) -> bool:
    """Whether an assigned value looks like a real password rather than a placeholder, a
    reference to one or a word of prose ("token: expired")."""
    if len(value) < 4 or _PLACEHOLDER_VALUE.match(value):
        return False
    return len(value) >= 8 or not value.isalpha()


# --- phone numbers --------------------------------------------------------------------------

# Something shaped like a phone number: digits with the separators that numbers are written
# with, seven digits at least. Only these are handed to phonenumbers, which is slower.
_PHONE_CANDIDATE = re.compile(
    r"(?<![\w.+/-])(?:\+|00)?\(?\d[\d \-().\u00a0/]{5,}\d(?:[ \t]*(?:x|ext\.?)[ \t]*\d{1,6})?"
    r"(?![\w-])"
)
# Regions tried for a number written without a country code, most widely used first.
_NATIONAL_REGIONS = ("US", "GB", "DE", "FR", "IN", "ES", "IT", "BR", "NL", "PL", "SE", "AU")


def _phones(text: str, low: int, high: int) -> Iterator[Span]:
    import phonenumbers

    for candidate in _PHONE_CANDIDATE.finditer(text, low, high):
        written = candidate.group()
        digits = sum(char.isdigit() for char in written)
        if digits < 7 or digits > 17 or _DATE_OR_VERSION.search(written):
            continue
        international = written.startswith(("+", "00"))
        regions = (None,) if written[0] == "+" else ("DE",) if international else _NATIONAL_REGIONS
        for region in regions:
            try:
                number = phonenumbers.parse(written, region)
            except phonenumbers.NumberParseException:
                continue
            # A number with its country code only needs to be possible there; a national one
            # must be valid in the region it is read for, or any run of digits would pass.
            if (phonenumbers.is_possible_number(number) if international
                    else phonenumbers.is_valid_number(number)):
                yield candidate.start(), candidate.end(), written, PHONE
                break


# Dates, versions and build numbers ("20240611.3"): a phone number's last group has two
# digits at least.
_DATE_OR_VERSION = re.compile(
    r"^\d{1,4}[-./]\d{1,2}[-./]\d{1,4}$|^\d+(?:\.\d+){2,}$|[-./ ]\d$"
)


# --- organisations --------------------------------------------------------------------------

_LEGAL_FORMS = tuple(sorted((
    # Longer forms first within the alternation, so "GmbH & Co. KG" wins over "GmbH".
    "GmbH & Co. KGaA", "GmbH & Co. KG", "GmbH & Co. OHG", "AG & Co. KGaA", "AG & Co. KG",
    "AG & Co. OHG", "OHG mbH", "Pty. Ltd.", "Pty Ltd", "Pvt. Ltd.", "Pvt Ltd", "Sdn. Bhd.",
    "Sdn Bhd", "Sp. z o.o.", "sp. z o.o.", "(Persero) Tbk", "S.p.A.", "S.r.l.", "s.r.l.",
    "S.A.R.L.", "S.A.S.", "S.A.U.", "S.A.U", "S.A.", "S/A", "S.L.U.", "S.L.L.", "S.L.N.E",
    "S.L.", "S.Coop.", "S.Com.", "B.V.", "N.V.", "K.K.", "s.r.o.", "v.o.s.", "k.s.", "a.s.",
    "Sp.j.", "Sp.k.", "s.c.", "Kft.", "Zrt.", "Nyrt.", "Bt.", "Ltda.", "Ltda", "A.Ş.", "Şti.",
    "Inc.", "Inc", "Incorporated", "Corp.", "Corp", "Corporation", "Co.", "Ltd.", "Ltd",
    "Limited", "LLC", "L.L.C.", "LLP", "PLC", "plc", "gGmbH", "GmbH", "GbR", "KGaA", "OHG",
    "e.V.", "e.G.", "AG", "KG", "UG", "SE", "SAS", "SARL", "SA", "SpA", "SPA", "Srl", "SRL",
    "BV", "NV", "AB", "A/S", "ApS", "ASA", "AS", "Oyj", "Oy", "Ky", "HB", "Tbk", "Bhd", "LP",
), key=len, reverse=True))
_CAPITALISED = r"[^\W\d_a-z][\w'’&.-]*"
_ORGANISATION = re.compile(
    r"(?<![\w'’&.@/-])((?:" + _CAPITALISED + r"(?:,? (?:(?:&|and|und|y|et|e) )?| ))"
    r"{1,4}?)(?:" + "|".join(re.escape(form) for form in _LEGAL_FORMS) + r")(?![\w&])"
)


_ANY_LEGAL_FORM = re.compile(
    r"(?<![\w&])(?:" + "|".join(re.escape(form) for form in _LEGAL_FORMS) + r")(?![\w&])"
)
_NAME_PART = re.compile(r"[^\s,]+")


def _organisations(text: str, low: int, high: int) -> Iterator[Span]:
    if _ANY_LEGAL_FORM.search(text, low, high) is None:
        return
    tech = tech_terms()
    for match in _ORGANISATION.finditer(text, low, high):
        # The name starts after the last word that cannot be part of one: "Run React GmbH" has
        # none, "Contact Acme Ltd" keeps "Contact" (there is no telling).
        start = match.start()
        for part in _NAME_PART.finditer(text, match.start(), match.end(1)):
            word = part.group()
            if word not in ("&", "and", "und", "y", "et", "e") and (
                _technical(word, tech) or not word[0].isupper()
            ):
                start = part.end()
        while start < match.end(1) and text[start] in " ,":
            start += 1
        if start < match.end(1):
            yield start, match.end(), text[start:match.end()], ORG


# --- people and places ----------------------------------------------------------------------

_WORD = re.compile(r"(?<![\w'’.@/\\#$%&*+=<>|~^-])[^\W\d_a-z][\w'’-]*")
_POSSESSIVE = re.compile(r"['’]s?$|-$")
_ASCII_LETTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
_NEXT_WORD = re.compile(r"[ \t]*([,:]|[a-z]+)")

# Words that join the parts of a name or a place: "Ludwig van Beethoven", "Rio de Janeiro".
_JOINERS = frozenset(
    f" {particle} " for particle in (
        "van", "von", "de", "da", "di", "del", "della", "der", "den", "du", "dos", "das", "la",
        "le", "bin", "ibn", "al", "el", "ten", "ter", "zu", "van der", "van den", "de la",
        "von der", "y",
    )
) | {" "}

_HONORIFICS = frozenset((
    "mr", "mrs", "ms", "mx", "miss", "dr", "prof", "professor", "sir", "madam", "dame", "herr",
    "frau", "mme", "mlle", "sr", "sra", "srta", "dott", "ing", "pan", "pani", "shri", "smt",
))
# Words after which a capitalised word is someone being addressed or talked about.
_PERSON_CONTEXT = frozenset((
    "ask", "asked", "asking", "ping", "pinged", "cc", "bcc", "thanks", "thank", "thx", "hi",
    "hey", "hello", "dear", "tell", "told", "cheers", "colleague", "manager", "teammate",
))
# Lower-case words after which a capitalised word is someone who said or did something.
_PERSON_VERBS = frozenset((
    "said", "says", "wrote", "writes", "mentioned", "thinks", "thought", "suggested", "asked",
    "replied", "agreed", "confirmed", "reported", "reviewed", "approved", "merged", "pushed",
    "fixed", "opened", "closed", "found", "noticed", "wants", "will", "is", "was", "has",
    "had", "and", "can", "should", "would", "could",
))
# Words before a city's name that say it is one. "to" and "into" are not among them: in
# developer chat one deploys, moves and migrates to products at least as often as to cities.
_PLACE_CONTEXT = frozenset((
    "in", "at", "from", "near", "around", "outside", "visiting", "based", "office", "flying",
    "travelling", "traveling", "relocating", "relocated", "commuting",
))
_TRAVEL_VERBS = frozenset((
    "flying", "fly", "flew", "travelling", "traveling", "trip", "relocating", "relocated",
    "heading", "drive", "driving", "drove", "commute", "commuting", "train",
))
# Words after a city's name that say it is one: "the Lisbon office".
_PLACE_AFTER = frozenset(("office", "offices", "branch", "campus", "headquarters", "hq"))
# Closed-class English words that the name dictionary also lists ("The", "Will", "May",
# "Can"): capitalised, they start a sentence or a title far more often than they name someone,
# so they are names only after "ask", "cc", an honorific and the like.
_FUNCTION_WORDS = frozenset((
    "the", "are", "can", "will", "may", "his", "her", "here", "just", "even", "than", "per",
    "said", "made", "done", "okay", "run", "tell", "merge", "must", "might", "shall", "should",
    "would", "could", "did", "does", "has", "had", "have", "was", "were", "is", "and", "but",
    "yet", "so", "nor", "for", "let", "see", "say", "get", "got", "all", "any", "each",
    "every", "some", "many", "much", "more", "most", "also", "only", "then", "there", "these",
    "those", "this", "that", "what", "when", "where", "which", "who", "why", "how", "not",
    "now", "our", "your", "their", "its", "they", "she", "him", "you", "one", "two", "new",
    "old", "good", "great", "best", "next", "last", "first", "sure", "yes", "well", "still",
    "please",
))
_CITY_ALONE = 1_000_000  # a city this large is a place wherever it is capitalised
_CITY_MID_SENTENCE = 100_000  # ... this large, when not at the start of a sentence


_DIGIT_OR_UNDERSCORE = re.compile(r"[\d_]")
_NAME_PARTS = re.compile(r"['’-]")
_OPENERS = frozenset("\"'“‘([*_")
_SENTENCE_ENDS = frozenset(".!?:;…")
_LIST_MARKS = frozenset("-*+>#")


def _sentence_initial(text: str, position: int) -> bool:
    """Whether a sentence, a line, a list item, a heading or a quote starts at ``position``
    (quotes and brackets before it aside): a capital there says nothing about the word."""
    j = position - 1
    while j >= 0 and text[j] in _OPENERS:
        j -= 1
    if j < 0 or text[j] == "\n":
        return True
    if text[j] not in " \t":
        return False
    while j >= 0 and text[j] in " \t":
        j -= 1
    while j >= 0 and text[j] in "\"')]’”":
        j -= 1
    if j < 0 or text[j] == "\n" or text[j] in _SENTENCE_ENDS:
        return True
    if text[j] in _LIST_MARKS:
        while j >= 0 and text[j] in _LIST_MARKS or j >= 0 and text[j] in " \t":
            j -= 1
        return j < 0 or text[j] == "\n"
    return False


def _technical(word: str, tech: frozenset[str]) -> bool:
    """Whether a capitalised word reads as code or a product rather than as a name: a word
    of the allowlist, with a digit or an underscore, all in capitals, or with a capital
    inside (``PostgreSQL``) other than in "McDonald", "O'Brien" and the like."""
    if len(word) < 2 or word.lower() in tech:
        return True
    if word[1:].islower():
        return not word.isalpha() and _DIGIT_OR_UNDERSCORE.search(word) is not None
    if word.isupper() or _DIGIT_OR_UNDERSCORE.search(word) is not None:
        return True
    for part in _NAME_PARTS.split(word):
        inner = part[1:]
        for prefix in ("Mc", "Mac", "De", "Di", "Da", "La", "Le", "Van", "Von"):
            if part.startswith(prefix) and inner.startswith(prefix[1:]):
                inner = part[len(prefix) + 1:]
                break
        if inner and not inner.islower():
            return True
    return False


_NAME_OR_PLACE_CONTEXT = _PERSON_CONTEXT | _HONORIFICS
_AFTER_SINGLE_NAME = _PERSON_VERBS | {",", ":"}
_AFTER_UNKNOWN_NAME = _PERSON_VERBS - {
    "and", "is", "was", "has", "had", "will", "can", "should", "would", "could"}


def _core(word: str) -> str:
    """A word without a possessive ("Jürgen's") or a trailing apostrophe or hyphen."""
    if word.endswith(("'s", "’s")):
        return word[:-2]
    return word.rstrip("'’-")


def _people_and_places(text: str, low: int, high: int, orgs: list[Span]) -> Iterator[Span]:
    tech = tech_terms()
    # (start, end of the word as written, the word without a possessive, may be a name)
    words: list[tuple[int, int, str, bool]] = []
    org_starts = [span[0] for span in orgs]  # in text order, none inside another
    for match in _WORD.finditer(text, low, high):
        raw = match.group()
        if not raw[0].isupper():
            continue
        word = _core(raw)
        if orgs:
            org = bisect.bisect_right(org_starts, match.start()) - 1
            if org >= 0 and match.start() < orgs[org][1]:
                continue  # part of a company's name
        words.append((match.start(), match.end(), word, bool(word) and not _technical(word, tech)))
    if not words:
        return
    names = first_names()
    place_table = places().by_first_word

    def joined(index: int) -> bool:
        """Whether word ``index`` continues the name that word ``index - 1`` is part of."""
        start, end, word, _ = words[index - 1]
        if end - start != len(word):
            return False  # a possessive ends a name
        return text[end:words[index][0]] in _JOINERS

    def previous_word(position: int) -> str:
        """The ASCII word before ``position``, lower-cased, across white space and one of
        ".", ":" or "," ("Dr. ", "cc: ")."""
        j = position - 1
        while j >= low and text[j] in " \t":
            j -= 1
        if j < position - 1 and j >= low and text[j] in ".:,":
            j -= 1
        end = j + 1
        while j >= low and text[j] in _ASCII_LETTERS:
            j -= 1
        return text[j + 1:end].lower() if end < position else ""

    def next_word(position: int) -> str:
        match = _NEXT_WORD.match(text, position, high)
        return match[1] if match else ""

    count = len(words)
    i = 0
    while i < count:
        start, end, word, usable = words[i]
        if not usable:
            i += 1
            continue
        lower = word.lower()
        before = previous_word(start)
        initial = _sentence_initial(text, start)

        # A place: the longest country, state or city name that starts here.
        place = _place_at(text, start, high, word, place_table)
        if place is not None:
            name, is_region, people = place
            last = i
            while last + 1 < count and words[last + 1][0] < start + len(name):
                last += 1
            person_first = lower in names and before not in _PLACE_CONTEXT
            # A city's name followed by another capitalised word is part of a longer name
            # ("in Spring Boot", "from Phoenix LiveView") unless a place list knows that name.
            compound = last + 1 < count and joined(last + 1)
            region_alone = is_region and before not in _NAME_OR_PLACE_CONTEXT
            if last > i or " " in name or region_alone or (
                not person_first and not compound and (
                    before in _PLACE_CONTEXT
                    or (before == "to" and _word_before(text, start, low) in _TRAVEL_VERBS)
                    or next_word(start + len(name)) in _PLACE_AFTER
                    or people >= _CITY_ALONE
                    or (people >= _CITY_MID_SENTENCE and not initial)
                    or _place_follows(text, start + len(name), high, place_table)
                )
            ):
                yield start, start + len(name), name, PLACE
                i = last + 1
                continue

        honorific = before in _HONORIFICS and _capitalised_before(text, start)
        addressed = before in _PERSON_CONTEXT
        if honorific or addressed or (lower in names and lower not in _FUNCTION_WORDS):
            last = i
            limit = i + (3 if honorific else 2)
            while last < limit and last + 1 < count and words[last + 1][3] and joined(last + 1):
                following = words[last + 1][2]
                if following.lower() in _FUNCTION_WORDS or _is_region(following, place_table):
                    break
                last += 1
            if last > i:
                name_end = words[last][0] + len(words[last][2])
                yield start, name_end, text[start:name_end], PERSON
                i = last + 1
                continue
            if honorific or addressed or not initial or end - start != len(word) or (
                next_word(start + len(word)) in _AFTER_SINGLE_NAME
            ):  # at the start of a sentence, a name says something or owns something
                yield start, start + len(word), word, PERSON
            i += 1
            continue

        # Capitalised words nobody knows, before "said", "wrote" and the like: the last two
        # of them ("Yesterday Chukwuemeka Obi said" is about Chukwuemeka Obi).
        last = i
        while last < i + 2 and last + 1 < count and words[last + 1][3] and joined(last + 1):
            last += 1
        name_end = words[last][0] + len(words[last][2])
        first = max(i, last - 1)
        if next_word(name_end) in _AFTER_UNKNOWN_NAME and not (
            initial and last == i and lower in _FUNCTION_WORDS
        ):
            name_start = words[first][0]
            yield name_start, name_end, text[name_start:name_end], PERSON
            i = last + 1
        else:
            i += 1


def _word_before(text: str, position: int, low: int) -> str:
    """The second word before ``position``, lower-cased: "flying" in "flying to Rome"."""
    match = _TWO_WORDS_BEFORE.search(text, max(low, position - 40), position)
    return match[1].lower() if match else ""


_TWO_WORDS_BEFORE = re.compile(r"([A-Za-z]+)[ \t]+[A-Za-z]+[ \t]+$")


def _capitalised_before(text: str, position: int) -> bool:
    """Whether the word before ``position`` is capitalised: "Ms. Ito", not "120 ms. Call"."""
    j = position - 1
    while j > 0 and not text[j].isalpha():
        j -= 1
    while j > 0 and text[j - 1].isalpha():
        j -= 1
    return text[j].isupper()


def _place_at(
    text: str, start: int, high: int, word: str,
    table: dict[str, tuple[tuple[str, bool, int], ...]],
) -> tuple[str, bool, int] | None:
    for entry in table.get(word, ()):
        name = entry[0]
        end = start + len(name)
        if end <= high and text.startswith(name, start) and (
            end == len(text) or not (text[end].isalnum() or text[end] in "-_")
        ):
            return entry
    return None


def _is_region(word: str, table: dict[str, tuple[tuple[str, bool, int], ...]]) -> bool:
    return any(name == word and is_region for name, is_region, _ in table.get(word, ()))


def _place_follows(
    text: str, position: int, high: int, table: dict[str, tuple[tuple[str, bool, int], ...]]
) -> bool:
    """Whether ", Place" follows: "Leeds, United Kingdom"."""
    if not text.startswith(", ", position):
        return False
    match = _WORD.match(text, position + 2, high)
    return match is not None and _place_at(text, match.start(), high, match.group(),
                                           table) is not None
