"""velk.Conversation: the map kept between messages, in memory or in a session file; streamed
restoring; atomic saves; processes sharing a session file; unreadable sessions; a killed save."""

import asyncio
import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import velk
import velk_anonymizer as va


def leftovers(folder):
    """Temporary files that a save left behind."""
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


def test_in_memory_conversation_keeps_tokens_and_restores_streams_as_chunks_arrive():
    chat = velk.Conversation()
    assert chat.path is None and len(chat.token_map) == 0
    assert chat.anonymize("Ping @jdoe about BlueHarbor") == "Ping [HANDLE_1] about [PROJECT_1]"
    assert chat.anonymize("Did @jdoe mail ann@example.com?") == "Did [HANDLE_1] mail [EMAIL_1]?"
    assert chat.restore("[HANDLE_1] and [EMAIL_1], not [EMAIL_2]") == (
        "@jdoe and ann@example.com, not [EMAIL_2]")
    seen, chunks = [], ["Hi ", "[HAND", "LE_1]", " bye [EMA", "IL_1]"]
    stream = chat.restore_stream(seen.append(c) or c for c in chunks)  # records what was taken
    assert next(stream) == "Hi " and seen == ["Hi "]
    assert next(stream) == "@jdoe" and len(seen) == 3
    assert list(stream) == [" bye ", "ann@example.com"]

    async def amodel():
        for chunk in ["Hi ", "[HAND", "LE_1]", "!"]:
            await asyncio.sleep(0)
            yield chunk

    async def collect():
        return [piece async for piece in chat.arestore_stream(amodel())]

    assert asyncio.run(collect()) == ["Hi ", "@jdoe", "!"]


def test_session_file_is_created_private_keeps_a_changed_mode_and_follows_links(tmp_path):
    path = tmp_path / "chat.json"
    chat = velk.Conversation(path)
    assert chat.path == path and not path.exists()
    assert chat.anonymize("nothing to hide") == "nothing to hide"
    assert json.loads(path.read_text()) == {"version": 1,
                                            "tokenMap": {"forward": {}, "reverse": {}}}
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert chat.anonymize("Ping @jdoe") == "Ping [HANDLE_1]"
    assert path.read_text() == chat.token_map.to_session_json()
    again = velk.Conversation(str(path))
    assert again.anonymize("@jdoe and @mlopez") == "[HANDLE_1] and [HANDLE_2]"
    assert again.restore("[HANDLE_2]") == "@mlopez"
    assert sorted(os.listdir(tmp_path)) == ["chat.json", "chat.json.lock"]
    path.chmod(0o640)
    link = tmp_path / "link.json"
    link.symlink_to(path)
    assert velk.Conversation(link).anonymize("Ping @ann") == "Ping [HANDLE_3]"
    assert link.is_symlink() and stat.S_IMODE(path.stat().st_mode) == 0o640
    assert len(velk.SessionFile(path).read()) == 3


WORKER = textwrap.dedent("""
    import json, sys
    import velk
    path, worker, messages = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    chat = velk.Conversation(path)
    out = {}
    for message in range(messages):
        text = f"mail w{worker}m{message}@example.com and shared{message % 5}@example.com"
        out[text] = chat.anonymize(text)
    print(json.dumps(out))
""")


def test_processes_sharing_a_file_lose_and_double_no_token(tmp_path):
    path = tmp_path / "processes.json"
    processes, messages = 8, 40
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, str(path), str(n), str(messages)],
                                stdout=subprocess.PIPE, text=True) for n in range(processes)]
    outputs = {}
    for worker in workers:
        stdout, _ = worker.communicate(timeout=300)
        assert worker.returncode == 0
        outputs.update(json.loads(stdout))
    expected = processes * messages + 5
    token_map = velk.SessionFile(path).read()
    tables = json.loads(token_map.to_session_json())["tokenMap"]
    # Every token given once, none lost or skipped, and each text restored from the session.
    assert sorted(tables["forward"].values()) == sorted(tables["reverse"]) == sorted(
        f"[EMAIL_{n}]" for n in range(1, expected + 1))
    for original, anonymized in outputs.items():
        assert va.deanonymize(anonymized, token_map) == original and "@" not in anonymized
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("content,reason", [
    (b'[1,[{},{}]] \xff', "is not a session: not UTF-8 (byte offset 12)"),
    (b"[2,[{},{}]]", "is not a session: unsupported session format version 2"),
], ids=["not UTF-8", "future version"])
def test_an_unreadable_session_is_a_clear_error_and_is_left_as_it_is(tmp_path, content, reason):
    path = tmp_path / "broken.json"
    path.write_bytes(content)
    before = path.stat()
    with pytest.raises(velk.SessionError) as caught:
        velk.Conversation(path)
    assert str(caught.value).startswith(f"session file '{path}' {reason}")
    assert caught.value.path == path
    assert path.read_bytes() == content and path.stat().st_mtime_ns == before.st_mtime_ns


def test_a_session_broken_after_opening_stops_every_call(tmp_path):
    path = tmp_path / "chat.json"
    chat = velk.Conversation(path)
    chat.anonymize("Ping @jdoe")
    path.write_text("not json")
    for call in (lambda: chat.anonymize("Ping @mlopez"), lambda: chat.restore("[HANDLE_1]"),
                 lambda: chat.restore_stream(["[HANDLE_1]"]), lambda: chat.token_map):
        with pytest.raises(velk.SessionError, match="is not a session"):
            call()
    assert path.read_text() == "not json" and leftovers(tmp_path) == []
    with pytest.raises(velk.SessionError, match=r"cannot be read: Is a directory"):
        velk.Conversation(tmp_path)


# A process killed while the new version is written but not yet in place: os.fsync of the
# temporary file announces itself and waits.
KILLED_MID_SAVE = textwrap.dedent("""
    import os, sys, time
    import velk
    path, ready = sys.argv[1], sys.argv[2]
    chat = velk.Conversation(path)
    def stuck_fsync(fd):
        open(ready, "w").close()
        time.sleep(600)
    os.fsync = stuck_fsync
    chat.anonymize("mail ann@example.com and the new bob@example.com")
""")


def test_a_process_killed_mid_save_leaves_the_previous_session_whole(tmp_path):
    path = tmp_path / "chat.json"
    velk.Conversation(path).anonymize("mail ann@example.com")
    before = path.read_bytes()
    ready = tmp_path / "ready"
    process = subprocess.Popen([sys.executable, "-c", KILLED_MID_SAVE, str(path), str(ready)])
    deadline = time.monotonic() + 60
    while not ready.exists():
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert path.read_bytes() == before
    assert len(leftovers(tmp_path)) == 1  # the stray temporary file, never read
    # The lock died with the process: the next save goes through.
    assert velk.Conversation(path).anonymize("mail bob@example.com") == "mail [EMAIL_2]"
