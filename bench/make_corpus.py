#!/usr/bin/env python3
"""Builds the benchmark corpus in bench/out/ from a fixed seed, with no downloads.

Generated developer chat (code blocks, inline code, e-mail addresses, handles, URLs, phone
numbers, IP addresses, secrets, names, places, companies, CamelCase projects) is mixed with
real prose and changelog text from the machine's /usr/share/doc, read in sorted path order so
that the corpus is the same on every run on one machine; that text is capped at a quarter of
each document. Everything random comes from one random.Random(seed); the global generator is
never used.

Files written:
  doc_1k.txt, doc_64k.txt, doc_1m.txt, doc_8m.txt  documents, each a prefix of the next,
                                                   cut at a message boundary
  chat_300.txt                                     one 300-byte chat message
  chat_map_entities.json                           50 entities of the conversation so far
  subst_100k.txt                                   100 KB of chat for the substitution runs
  subst_entities.json                              10,000 distinct entities; the maps of 100,
                                                   1,000 and 10,000 entries are its prefixes
  manifest.json                                    sizes, SHA-256 of every file, sources used
Entity files are JSON lists of [text, kind] with kind an EntityType name.

Usage: python3 bench/make_corpus.py [--out DIR] [--seed N] [--doc-root DIR]
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import random
import string
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_OUT = REPO / "bench" / "out"
DEFAULT_SEED = 20240611
# Bumped whenever the output for a given seed changes, so the runner knows to rebuild.
GENERATOR_VERSION = 1

DOC_SIZES = {"1k": 1 << 10, "64k": 64 << 10, "1m": 1 << 20, "8m": 8 << 20}
REAL_TEXT_SHARE = 0.25
CHAT_BYTES = 300
CHAT_MAP_ENTRIES = 50
SUBST_BYTES = 100 << 10
SUBST_MAP_SIZES = (100, 1000, 10000)

# Real text: one bounded slice per file keeps any single long changelog from dominating, and
# long paragraphs are skipped so that even the 1 KB document keeps its share.
DOC_FILE_PREFIXES = ("changelog", "news", "copyright", "readme")
DOC_FILE_SLICE = 16 << 10
MAX_PARAGRAPH = 1200
# Plain text only: "changelog.Debian.gz" and "README.md" are in, "README.html" is out.
DOC_FILE_SUFFIXES = ("", "debian", "md", "txt", "rst", "markdown", "source")

SURNAMES = """
smith johnson williams brown jones garcia miller davis rodriguez martinez hernandez lopez
gonzalez wilson anderson thomas taylor moore jackson martin lee perez thompson white harris
sanchez clark ramirez lewis robinson walker young allen king wright scott torres nguyen hill
flores green adams nelson baker hall rivera campbell mitchell carter roberts kowalski novak
schmidt fischer weber meyer wagner becker schulz hoffmann okafor mensah haddad nakamura
tanaka sato suzuki ivanova petrov silva santos costa pereira oliveira dubois moreau laurent
""".split()
COMPANY_STEMS = """
acme globex initech umbrella hooli vandelay wayne stark wonka cyberdyne tyrell soylent
massive northwind contoso fabrikam tailspin litware adatum proseware wingtip lucerne
blueyonder fourthcoffee alpine margie trey woodgrove southridge humongous coho
""".split()
ORG_SUFFIXES = ["Inc", "Corp", "LLC", "Ltd", "GmbH", "AG", "Inc.", "Corp.", "plc", "LLP"]
PROJECT_PARTS_A = """
blue silver iron red swift quiet bright golden hidden frozen lunar solar amber crimson
rapid steady hollow copper velvet cobalt misty stormy
""".split()
PROJECT_PARTS_B = """
harbor falcon river forge lantern summit beacon orchard meadow canyon anchor compass
ember willow signal pioneer glacier thunder spire harvest
""".split()
WORDS = """
the deploy failed again after we merged branch review please check logs about meeting with
and for today update on ticket build server cache query slow notes from asked ship release
staging prod rollback migration schema flaky test timeout retry config secret rotate token
latency spike dashboard alert pager incident postmortem hotfix patch bump version lockfile
dependency upgrade refactor cleanup docs readme endpoint payload handler worker queue cron
""".split()
TECH = """
Python Rust Go TypeScript JavaScript Docker Kubernetes Postgres PostgreSQL Redis React
NodeJS GitHub Linux Ubuntu Webpack Vite Slack Jira Notion Monday Friday VSCode Homebrew
""".split()
TLDS = ["com", "io", "dev", "app", "net", "org", "co"]
NAMESPACES = ["payments", "search", "auth", "billing", "ingest", "infra", "web"]
FUNCTIONS = ["parse_config", "retry_with_backoff", "load_user", "flush_cache", "handle_event",
             "build_index", "render_page", "sync_accounts", "validate_token", "export_csv"]


def read_lexicon(name: str) -> list[str]:
    """Entries of one of the repository's word lists (our own lexicon files)."""
    entries = []
    for line in (REPO / "src" / "velk" / name).read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            entries.append(line)
    return entries


def title(words: str) -> str:
    return " ".join(w[:1].upper() + w[1:] for w in words.split(" "))


class Cast:
    """The people, places, companies and projects of one generated conversation, with the
    skewed reuse of a real team: a few names come up all the time, most rarely."""

    def __init__(self, rng: random.Random):
        self.rng = rng
        first = read_lexicon("first_names")
        places = read_lexicon("place_names")
        self.people = []
        for _ in range(400):
            given = title(rng.choice(first))
            if rng.random() < 0.15:  # names the lexicon does not know
                given = title(rng.choice(PROJECT_PARTS_B)) + rng.choice(["a", "o", "en", "ie"])
            self.people.append((given, title(rng.choice(SURNAMES))))
        self.places = []
        for entry in places:
            self.places.append(entry.upper() if len(entry) == 2 else title(entry))
        rng.shuffle(self.places)
        self.companies = []
        for stem in COMPANY_STEMS:
            self.companies.append((title(stem), rng.choice(ORG_SUFFIXES)))
        rng.shuffle(self.companies)
        self.projects = sorted({title(a) + title(b) for a in PROJECT_PARTS_A
                                for b in PROJECT_PARTS_B})
        rng.shuffle(self.projects)
        self.projects = self.projects[:120]

    def skewed(self, items: list):
        # Roughly Zipf: index i is chosen with weight 1 / (i + 1).
        n = len(items)
        u = self.rng.random()
        return items[min(n - 1, int((n + 1) ** u) - 1)]

    def person(self) -> tuple[str, str]:
        return self.skewed(self.people)

    def place(self) -> str:
        return self.skewed(self.places)

    def company(self) -> tuple[str, str]:
        return self.skewed(self.companies)

    def project(self) -> str:
        return self.skewed(self.projects)


class ChatGenerator:
    """Developer chat messages built from sentence templates with entity slots."""

    def __init__(self, rng: random.Random):
        self.rng = rng
        self.cast = Cast(rng)

    # Entity texts ----------------------------------------------------------------------
    def alnum(self, n: int, alphabet: str = string.ascii_letters + string.digits) -> str:
        return "".join(self.rng.choice(alphabet) for _ in range(n))

    def name(self) -> str:
        given, family = self.cast.person()
        return given if self.rng.random() < 0.5 else f"{given} {family}"

    def handle(self) -> str:
        given, family = self.cast.person()
        style = self.rng.randrange(3)
        if style == 0:
            return "@" + given.lower()
        if style == 1:
            return f"@{given[0].lower()}{family.lower()}"
        return f"@{given.lower()}_{family[:1].lower()}{self.rng.randrange(10, 99)}"

    def domain(self) -> str:
        stem, _ = self.cast.company()
        return f"{stem.lower()}.{self.rng.choice(TLDS)}"

    def email(self) -> str:
        given, family = self.cast.person()
        local = self.rng.choice([f"{given}.{family}", given, f"{given[0]}{family}"]).lower()
        return f"{local}@{self.domain()}"

    def url(self) -> str:
        host = self.rng.choice(["git", "ci", "docs", "grafana", "jira", "status"]) + "." + \
            self.domain()
        path = "/".join(self.rng.choice(WORDS) for _ in range(self.rng.randrange(1, 4)))
        tail = self.rng.choice(["", f"/{self.rng.randrange(100, 99999)}", "?tab=logs",
                                f"#L{self.rng.randrange(1, 400)}"])
        return f"https://{host}/{path}{tail}"

    def phone(self) -> str:
        a, b, c = (self.rng.randrange(200, 999), self.rng.randrange(200, 999),
                   self.rng.randrange(0, 9999))
        return self.rng.choice([f"{a}-{b}-{c:04d}", f"({a}) {b}-{c:04d}", f"+1 {a} {b} {c:04d}",
                                f"{a}.{b}.{c:04d}"])

    def ip(self) -> str:
        r = self.rng.randrange
        return self.rng.choice([f"10.{r(256)}.{r(256)}.{r(1, 255)}",
                                f"192.168.{r(256)}.{r(1, 255)}",
                                f"172.{r(16, 32)}.{r(256)}.{r(1, 255)}"])

    def secret(self) -> str:
        kind = self.rng.randrange(5)
        if kind == 0:
            return "sk_live_" + self.alnum(24)
        if kind == 1:
            return "ghp_" + self.alnum(36)
        if kind == 2:
            return "xoxb-" + self.alnum(12, string.digits) + "-" + self.alnum(24)
        if kind == 3:
            return "AKIA" + self.alnum(16, string.ascii_uppercase + string.digits)
        return self.alnum(40, "0123456789abcdef")  # a commit hash, which looks the same

    def place(self) -> str:
        return self.cast.place()

    def place_phrase(self) -> str:
        place = self.cast.place()
        if self.rng.random() < 0.2:
            return f"{place}, {self.place()}"
        return place

    def company_name(self) -> str:
        stem, suffix = self.cast.company()
        return f"{stem} {suffix}"

    def inline_code(self) -> str:
        r = self.rng
        return "`" + r.choice([
            f"kubectl get pods -n {r.choice(NAMESPACES)}",
            f"git rebase -i HEAD~{r.randrange(2, 9)}",
            f"{r.choice(FUNCTIONS)}()",
            "npm run build",
            f"make test TARGET={r.choice(NAMESPACES)}",
            f"SELECT * FROM users WHERE email = '{self.email()}'",
            f"curl -s {self.url()}",
            f"export API_KEY={self.secret()}",
        ]) + "`"

    def code_block(self) -> str:
        r = self.rng
        fn = r.choice(FUNCTIONS)
        body = r.choice([
            f"```python\ndef {fn}(client):\n    # {self.name()} said this retries forever\n"
            f"    return client.get(\"{self.url()}\", timeout={r.randrange(1, 30)})\n```",
            f"```bash\nssh deploy@{self.ip()} 'systemctl restart {r.choice(NAMESPACES)}'\n"
            f"tail -n 200 /var/log/{r.choice(NAMESPACES)}.log | grep ERROR\n```",
            f"```yaml\nservice: {r.choice(NAMESPACES)}\nowner: {self.email()}\n"
            f"replicas: {r.randrange(1, 9)}\n"
            f"image: registry.{self.domain()}/app:1.{r.randrange(40)}\n```",
            f"```\nTraceback (most recent call last):\n  File \"app/{fn}.py\", line "
            f"{r.randrange(10, 500)}, in {fn}\nKeyError: '{r.choice(WORDS)}'\n```",
            f"```diff\n- timeout = {r.randrange(1, 10)}\n+ timeout = {r.randrange(10, 60)}\n```",
        ])
        return "\n" + body + "\n"

    # Sentences ---------------------------------------------------------------------------
    def sentence(self) -> str:
        r = self.rng
        w = lambda: r.choice(WORDS)  # noqa: E731
        templates = [
            lambda: f"{self.name()} says the {w()} {w()} is {w()} again.",
            lambda: f"Can you ping {self.handle()} about {self.cast.project()}?",
            lambda: f"Logs are at {self.url()} if anyone wants to look.",
            lambda: f"Mail {self.email()} before the {w()} on {r.choice(TECH)}.",
            lambda: f"The {r.choice(TECH)} box at {self.ip()} is out of disk again.",
            lambda: f"Call me at {self.phone()} if the {w()} breaks.",
            lambda: f"Someone pasted {self.secret()} in the channel, rotate it please.",
            lambda: f"{self.name()} moved to {self.place_phrase()} last month.",
            lambda: f"We are meeting {self.company_name()} about {self.cast.project()} "
                    f"on {r.choice(TECH)}.",
            lambda: f"Run {self.inline_code()} and paste the output.",
            lambda: f"{self.cast.project()} depends on {self.cast.project()} now, see "
                    f"{self.domain()}.",
            lambda: f"Dr. {self.cast.person()[1]} from {self.company_name()} joins at 3pm.",
            lambda: f"I think {self.handle()} and {self.handle()} own the {w()} {w()}.",
            lambda: f"{r.choice(TECH)} {w()} {w()} {w()}, {w()} {w()} {w()}.",
            lambda: f"ok {w()} {w()} {w()} {w()} {w()}",
            lambda: f"thanks! {w()} {w()} looks {w()} now",
            lambda: f"Flight to {self.place()} got cancelled, working from the hotel.",
            lambda: f"{self.name()} ({self.email()}) is the contact at {self.company_name()}.",
            lambda: f"Ping {self.name()} on {self.phone()} or {self.handle()}.",
            lambda: f"Did {self.name()} fix `{r.choice(FUNCTIONS)}` in {self.cast.project()}?",
        ]
        return r.choice(templates)()

    def message(self) -> str:
        r = self.rng
        parts = [self.sentence() for _ in range(r.randrange(1, 5))]
        if r.random() < 0.12:
            parts.append(self.code_block())
        text = " ".join(parts)
        given, family = self.cast.person()
        stamp = f"{r.randrange(24):02d}:{r.randrange(60):02d}"
        speaker = given if r.random() < 0.7 else f"{given.lower()}.{family.lower()}"
        return f"{speaker} [{stamp}]: {text}"


def read_doc_paragraphs(doc_root: Path, needed: int) -> tuple[list[str], list[str]]:
    """Paragraphs of changelog, news, copyright and readme files under doc_root, in sorted
    path order, until `needed` bytes are collected. Files that are not UTF-8 text are
    skipped. Returns the paragraphs and the relative paths of the files used."""
    paragraphs: list[str] = []
    used: list[str] = []
    total = 0
    if not doc_root.is_dir():
        return paragraphs, used
    for path in sorted(doc_root.rglob("*")):
        if total >= needed:
            break
        if not is_doc_text_file(path):
            continue
        try:
            opener = gzip.open if path.name.endswith(".gz") else open
            with opener(path, "rb") as f:
                data = f.read(DOC_FILE_SLICE)
        except (OSError, EOFError):
            continue
        text = decode_slice(data, truncated=len(data) == DOC_FILE_SLICE)
        if text is None:
            continue
        text = text.replace("\r\n", "\n").replace("\r", "\n")
        taken = 0
        for block in text.split("\n\n"):
            block = block.strip("\n")
            size = len(block.encode("utf-8"))
            if 0 < size <= MAX_PARAGRAPH:
                paragraphs.append(block)
                taken += size
        if taken:
            used.append(str(path.relative_to(doc_root)))
            total += taken
    return paragraphs, used


def is_doc_text_file(path: Path) -> bool:
    name = path.name.lower().removesuffix(".gz")
    if not name.startswith(DOC_FILE_PREFIXES) or path.is_symlink() or not path.is_file():
        return False
    return name.partition(".")[2] in DOC_FILE_SUFFIXES


def decode_slice(data: bytes, truncated: bool) -> str | None:
    """The text of a file slice, or None for binary or non-UTF-8 content. A slice cut from a
    longer file may end inside a character; that partial character is dropped."""
    if b"\0" in data:
        return None
    for cut in range(4 if truncated else 1):
        try:
            return data[: len(data) - cut].decode("utf-8")
        except UnicodeDecodeError:
            continue
    return None


def build_documents(rng: random.Random, paragraphs: list[str]) -> tuple[dict[str, str], dict]:
    """One stream of chat messages with real paragraphs mixed in (at most REAL_TEXT_SHARE of
    the bytes at every point), cut into the documents at message boundaries."""
    chat = ChatGenerator(rng)
    largest = max(DOC_SIZES.values())
    units: list[tuple[str, bool]] = []  # (text, taken from /usr/share/doc)
    size = 0
    real = 0
    next_paragraph = 0
    while size < largest:
        unit = None
        if paragraphs and rng.random() < 0.3:
            candidate = paragraphs[next_paragraph % len(paragraphs)]
            cost = len(candidate.encode("utf-8")) + 2
            if real + cost <= REAL_TEXT_SHARE * (size + cost):
                unit = candidate
                next_paragraph += 1
                real += cost
        if unit is None:
            units.append((chat.message(), False))
        else:
            units.append((unit, True))
        size += len(units[-1][0].encode("utf-8")) + 2
    docs = {}
    stats: dict = {}
    for label, limit in DOC_SIZES.items():
        out: list[str] = []
        used = 0
        real_bytes = 0
        for text, is_real in units:
            cost = len(text.encode("utf-8")) + 2
            if used + cost > limit:
                break
            out.append(text)
            used += cost
            real_bytes += cost if is_real else 0
        docs[label] = "\n\n".join(out) + "\n\n"
        stats[label] = {"units": len(out), "real_text_bytes": real_bytes,
                        "real_text_share": round(real_bytes / used, 3)}
    stats["paragraphs_used"] = next_paragraph
    stats["paragraphs_available"] = len(paragraphs)
    return docs, stats


def build_chat(rng: random.Random) -> tuple[str, list[list[str]]]:
    """A 300-byte message and the 50 entities the conversation produced before it; a few of
    them come up again in the message."""
    gen = ChatGenerator(rng)
    given, family = gen.cast.people[0]
    stem, suffix = gen.cast.companies[0]
    project = gen.cast.projects[0]
    person = f"{given} {family}"
    handle = f"@{given.lower()}_{family[0].lower()}"
    email = f"{given.lower()}.{family.lower()}@{stem.lower()}.io"
    ip = gen.ip()
    place = gen.cast.places[0]
    message = (f"Hey {handle}, {person} from {stem} {suffix} says the {project} deploy to "
               f"{ip} failed again; logs at https://ci.{stem.lower()}.dev/job/4411 and "
               f"`kubectl logs api-7f9c` shows a timeout. Mail {email} or call "
               f"{gen.phone()}. She is in {place} this week")
    filler = [" and", " the", " logs", " look", " odd"]
    i = 0
    while len(message.encode("utf-8")) < CHAT_BYTES - 1:
        message += filler[i % len(filler)]
        i += 1
    message = message.encode("utf-8")[: CHAT_BYTES - 1].decode("utf-8", errors="ignore")
    message = message.rstrip() + "."
    message += " " * (CHAT_BYTES - len(message.encode("utf-8")))
    entities = [[handle, "Handle"], [person, "Person"], [f"{stem} {suffix}", "Org"],
                [project, "Project"], [email, "Email"]]
    seen = {e[0] for e in entities}
    makers = [(gen.name, "Person"), (gen.email, "Email"), (gen.handle, "Handle"),
              (gen.cast.project, "Project"), (gen.company_name, "Org"), (gen.place, "Place"),
              (gen.url, "Url"), (gen.phone, "Phone"), (gen.ip, "IpAddress"),
              (gen.secret, "Secret")]
    while len(entities) < CHAT_MAP_ENTRIES:
        make, kind = rng.choice(makers)
        text = make()
        if text not in seen:
            seen.add(text)
            entities.append([text, kind])
    return message, entities


def build_substitution_input(rng: random.Random) -> tuple[str, list[list[str]], dict]:
    """10,000 distinct entity texts and 100 KB of chat mentioning some of them. Mentions
    cover every map size (most from the first 100, some from up to 1,000 and up to 10,000),
    some in upper case, some glued to a word so that they must not match; the rest of the
    entities never occur."""
    gen = ChatGenerator(rng)
    makers = [(gen.name, "Person", 4), (gen.email, "Email", 2), (gen.handle, "Handle", 2),
              (lambda: gen.cast.project() + gen.alnum(2, string.ascii_lowercase), "Project", 1),
              (gen.company_name, "Org", 1), (gen.place, "Place", 1), (gen.url, "Url", 1),
              (gen.phone, "Phone", 1), (gen.ip, "IpAddress", 1), (gen.secret, "Secret", 1)]
    weights = [m[2] for m in makers]
    entities: list[list[str]] = []
    seen: set[str] = set()
    while len(entities) < max(SUBST_MAP_SIZES):
        make, kind, _ = rng.choices(makers, weights)[0]
        text = make()
        if kind == "Person" and rng.random() < 0.5:
            # Invented surnames widen the pool of distinct names beyond the cast.
            text += " " + title("".join(rng.choice(["ka", "lo", "mi", "ren", "sto", "vic", "an"])
                                        for _ in range(3)))
        if text not in seen and text.lower() not in seen:
            seen.add(text)
            seen.add(text.lower())
            entities.append([text, kind])

    def pick() -> str:
        band = rng.random()
        if band < 0.6:
            index = rng.randrange(60)
        elif band < 0.85:
            index = rng.randrange(100, 400)
        else:
            index = rng.randrange(1000, len(entities), 17)
        return entities[index][0]

    out: list[str] = []
    size = 0
    mentions = 0
    while size < SUBST_BYTES:
        roll = rng.random()
        if roll < 0.12:
            text = pick()
            mentions += 1
            shape = rng.random()
            if shape < 0.08:
                text = text.upper()
            elif shape < 0.12:
                text = "x" + text  # glued to a word: must stay
            elif shape < 0.2:
                text += "'s"
            piece = text
        elif roll < 0.13:
            piece = gen.inline_code()
        elif roll < 0.132:
            piece = gen.code_block()
        else:
            piece = rng.choice(WORDS)
        sep = ".\n" if rng.random() < 0.08 else (", " if rng.random() < 0.1 else " ")
        piece += sep
        cost = len(piece.encode("utf-8"))
        if size + cost > SUBST_BYTES:
            break
        out.append(piece)
        size += cost
    return "".join(out), entities, {"mentions": mentions}


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def generate(out_dir: Path, seed: int, doc_root: Path) -> dict:
    out_dir.mkdir(parents=True, exist_ok=True)
    rng = random.Random(seed)
    needed = int(max(DOC_SIZES.values()) * REAL_TEXT_SHARE) + (64 << 10)
    paragraphs, used_files = read_doc_paragraphs(doc_root, needed)
    docs, doc_stats = build_documents(rng, paragraphs)
    chat, chat_entities = build_chat(rng)
    subst_text, subst_entities, subst_stats = build_substitution_input(rng)

    files: dict[str, bytes] = {}
    for label, text in docs.items():
        files[f"doc_{label}.txt"] = text.encode("utf-8")
    files["chat_300.txt"] = chat.encode("utf-8")
    files["chat_map_entities.json"] = json.dumps(chat_entities, ensure_ascii=False,
                                                 indent=0).encode("utf-8")
    files["subst_100k.txt"] = subst_text.encode("utf-8")
    files["subst_entities.json"] = json.dumps(subst_entities, ensure_ascii=False,
                                              indent=0).encode("utf-8")
    manifest = {
        "generator_version": GENERATOR_VERSION,
        "generator_sha256": sha256(Path(__file__).read_bytes()),
        "seed": seed,
        "doc_root": str(doc_root),
        "doc_files_used": len(used_files),
        # Installing or removing a package under doc_root changes the real text, and with it
        # the documents; this fingerprint tells two corpora of one machine apart.
        "doc_text_sha256": sha256("\n\n".join(paragraphs).encode("utf-8")),
        "doc_files_first": used_files[:1],
        "doc_files_last": used_files[-1:],
        "real_text_share_cap": REAL_TEXT_SHARE,
        "documents": doc_stats,
        "substitution": {"map_sizes": list(SUBST_MAP_SIZES), **subst_stats},
        "files": {name: {"bytes": len(data), "sha256": sha256(data)}
                  for name, data in files.items()},
    }
    for name, data in files.items():
        (out_dir / name).write_bytes(data)
    (out_dir / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n",
                                           encoding="utf-8")
    return manifest


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--doc-root", type=Path, default=Path("/usr/share/doc"))
    args = parser.parse_args(argv)
    manifest = generate(args.out, args.seed, args.doc_root)
    for name, info in manifest["files"].items():
        print(f"{name:24} {info['bytes']:>9} bytes  {info['sha256'][:16]}")
    print(f"real text from {manifest['doc_files_used']} files under {manifest['doc_root']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
