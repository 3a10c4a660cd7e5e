"""Anonymize a small developer chat, save the session, and restore the text in a second process."""

import os
import subprocess
import sys
import tempfile

import velk_anonymizer as va

CHAT = """\
Hey @mlopez, Sarah Miller from Acme Corp says the deploy in Dallas, TX failed again.
Can you mail her at sarah.miller@acme-corp.com or call 555-201-3344? Repro:

```
export API_HOST=10.20.30.40
curl -H "Authorization: Bearer $TOKEN" https://status.acme-corp.com/v1/deploys
```

She thinks `BlueHarbor` is fine; the BlueHarbor retry logic looks off to me.
"""

RESTORE = """\
import sys
import velk_anonymizer as va

with open(sys.argv[1], encoding="utf-8") as f:
    token_map = va.TokenMap.from_session_json(f.read())
print(va.deanonymize(sys.stdin.read(), token_map), end="")
"""


def main() -> None:
    result = va.anonymize(CHAT)
    print("=== original ===")
    print(CHAT)
    print("=== anonymized ===")
    print(result.text)
    for entity in result.entities:
        print(f"  {entity!r}")

    with tempfile.TemporaryDirectory() as folder:
        session = os.path.join(folder, "session.json")
        with open(session, "w", encoding="utf-8") as f:
            f.write(result.token_map.to_session_json())
        restored = subprocess.run(
            [sys.executable, "-c", RESTORE, session],
            input=result.text,
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    print()
    print("=== restored in a second process from the saved session ===")
    print(restored)
    if restored != CHAT:
        sys.exit("restored text differs from the original")


if __name__ == "__main__":
    main()
