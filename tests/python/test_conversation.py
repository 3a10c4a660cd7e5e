"""velk.Conversation: the map kept between messages, in memory or in a session file; atomic
saves; several processes sharing one session file; unreadable sessions; a process killed
mid-save."""

import asyncio
import json
import os
import random
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import velk
import velk_anonymizer as va


def tables(token_map):
    doc = json.loads(token_map.to_session_json())["tokenMap"]
    return doc["forward"], doc["reverse"]


def leftovers(folder):
    """Temporary files that a save left behind."""
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


def test_in_memory_conversation_keeps_tokens_stable():
    chat = velk.Conversation()
    assert chat.path is None and len(chat.token_map) == 0
    assert chat.anonymize("Ping @jdoe about BlueHarbor") == "Ping [HANDLE_1] about [PROJECT_1]"
    assert chat.anonymize("Did @jdoe mail ann@example.com?") == "Did [HANDLE_1] mail [EMAIL_1]?"
    assert len(chat.token_map) == 3
    assert chat.restore("[HANDLE_1] and [EMAIL_1], not [EMAIL_2]") == (
        "@jdoe and ann@example.com, not [EMAIL_2]")


def test_restore_stream_and_its_async_form():
    chat = velk.Conversation()
    chat.anonymize("Ask Sarah Miller at sarah@example.com")
    reply = "Sure: [PERSON_1] <[EMAIL_1]>, [PERSON_2]."
    chunks = [reply[i:i + 3] for i in range(0, len(reply), 3)]
    expected = "Sure: Sarah Miller <sarah@example.com>, [PERSON_2]."
    pieces = list(chat.restore_stream(iter(chunks)))
    assert "".join(pieces) == expected
    assert all(piece for piece in pieces)
    assert not any("[PERSON_1" in piece or "[EMAIL" in piece for piece in pieces)

    async def model():
        for chunk in chunks:
            await asyncio.sleep(0)
            yield chunk

    async def collect():
        return [piece async for piece in chat.arestore_stream(model())]

    assert "".join(asyncio.run(collect())) == expected


def test_stream_pieces_arrive_as_chunks_do():
    chat = velk.Conversation()
    chat.anonymize("Call Sarah Miller")
    seen = []

    def model():
        for chunk in ["Hello ", "[PERS", "ON_1]", " bye"]:
            seen.append(chunk)
            yield chunk

    stream = chat.restore_stream(model())
    assert next(stream) == "Hello " and seen == ["Hello "]
    assert next(stream) == "Sarah Miller" and seen == ["Hello ", "[PERS", "ON_1]"]
    assert list(stream) == [" bye"]


def test_session_file_is_created_on_first_save_and_read_back(tmp_path):
    path = tmp_path / "chat.json"
    chat = velk.Conversation(path)
    assert chat.path == path and not path.exists()
    assert chat.anonymize("nothing to hide") == "nothing to hide"
    empty = {"version": 1, "tokenMap": {"forward": {}, "reverse": {}}}
    assert json.loads(path.read_text()) == empty
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert chat.anonymize("Ping @jdoe") == "Ping [HANDLE_1]"
    assert path.read_text() == chat.token_map.to_session_json()
    again = velk.Conversation(str(path))
    assert again.anonymize("@jdoe and @mlopez") == "[HANDLE_1] and [HANDLE_2]"
    assert again.restore("[HANDLE_2]") == "@mlopez"
    assert leftovers(tmp_path) == []
    assert sorted(os.listdir(tmp_path)) == ["chat.json", "chat.json.lock"]


def test_save_keeps_the_mode_of_an_existing_file_and_follows_symlinks(tmp_path):
    real = tmp_path / "real.json"
    velk.Conversation(real).anonymize("Ping @jdoe")
    real.chmod(0o640)
    link = tmp_path / "link.json"
    link.symlink_to(real)
    assert velk.Conversation(link).anonymize("Ping @mlopez") == "Ping [HANDLE_2]"
    assert link.is_symlink()
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert len(velk.SessionFile(real).read()) == 2


def test_conversations_sharing_a_file_see_each_others_tokens(tmp_path):
    path = tmp_path / "shared.json"
    first, second = velk.Conversation(path), velk.Conversation(path)
    assert first.anonymize("mail ann@example.com") == "mail [EMAIL_1]"
    assert second.anonymize("mail bob@example.com") == "mail [EMAIL_2]"
    assert first.anonymize("mail ann@example.com and cid@example.com") == (
        "mail [EMAIL_1] and [EMAIL_3]")
    assert first.restore("[EMAIL_2]") == "bob@example.com"
    assert len(second.token_map) == 3
    assert "".join(second.restore_stream(["[EMA", "IL_3]"])) == "cid@example.com"


def test_threads_sharing_a_file_lose_no_token(tmp_path):
    path = tmp_path / "threads.json"
    outputs = {}

    def work(worker):
        chat = velk.Conversation(path)
        for message in range(15):
            text = f"mail w{worker}m{message}@example.com and shared{message % 3}@example.com"
            outputs[text] = chat.anonymize(text)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    check_shared_session(path, outputs, expected_entities=6 * 15 + 3)


def check_shared_session(path, outputs, expected_entities):
    """Every text was given tokens that the final session restores to it; no token was given to
    two texts; no entity is missing."""
    token_map = velk.SessionFile(path).read()
    forward, reverse = tables(token_map)
    assert len(forward) == len(reverse) == expected_entities
    assert len(set(forward.values())) == expected_entities  # no token given to two texts
    assert sorted(forward.values()) == sorted(reverse)
    numbers = sorted(int(token[len("[EMAIL_"):-1]) for token in reverse)
    assert numbers == list(range(1, expected_entities + 1))  # none lost, none skipped
    for original, anonymized in outputs.items():
        assert "@" not in anonymized
        assert va.deanonymize(anonymized, token_map) == original


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
    assert len(outputs) == processes * messages
    check_shared_session(path, outputs, expected_entities=processes * messages + 5)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("content,reason", [
    (b"{", "is not a session: session JSON is malformed: "),
    (b"", "is not a session: session JSON is malformed: "),
    (b'{"version":1,"tokenMap":{"forward":{},"reverse":{}}}\xff',
     "is not a session: not UTF-8 (byte offset 52)"),
    (b"[2,[{},{}]]", "is not a session: unsupported session format version 2"),
], ids=["truncated", "empty", "not UTF-8", "future version"])
def test_an_unreadable_session_is_a_clear_error_and_is_left_as_it_is(tmp_path, content, reason):
    path = tmp_path / "broken.json"
    path.write_bytes(content)
    before = path.stat()
    with pytest.raises(velk.SessionError) as caught:
        velk.Conversation(path)
    assert str(caught.value).startswith(f"session file '{path}' {reason}")
    assert caught.value.path == path
    assert path.read_bytes() == content and path.stat().st_mtime_ns == before.st_mtime_ns


def test_a_session_broken_after_opening_stops_anonymize_and_restore(tmp_path):
    path = tmp_path / "chat.json"
    chat = velk.Conversation(path)
    chat.anonymize("Ping @jdoe")
    path.write_text("not json")
    for call in (lambda: chat.anonymize("Ping @mlopez"), lambda: chat.restore("[HANDLE_1]"),
                 lambda: chat.restore_stream(["[HANDLE_1]"]), lambda: chat.token_map):
        with pytest.raises(velk.SessionError, match="is not a session"):
            call()
    assert path.read_text() == "not json"
    assert leftovers(tmp_path) == []


def test_a_folder_as_session_and_a_missing_folder(tmp_path):
    with pytest.raises(velk.SessionError, match=r"cannot be read: Is a directory"):
        velk.Conversation(tmp_path)
    chat = velk.Conversation(tmp_path / "missing" / "chat.json")
    with pytest.raises(velk.SessionError,
                       match=r"cannot be locked: .*chat.json.lock: No such file or directory"):
        chat.anonymize("Ping @jdoe")


# A process that saves a session and is killed while the new version is written but not yet
# in place: os.fsync of the temporary file announces itself and waits.
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
    chat = velk.Conversation(path)
    assert chat.anonymize("mail bob@example.com") == "mail [EMAIL_2]"


SAVING_FOREVER = textwrap.dedent("""
    import sys
    import velk
    chat = velk.Conversation(sys.argv[1])
    filler = " ".join(f"u{n}@filler.example" for n in range(3000))
    chat.anonymize(filler)
    print("ready", flush=True)
    n = 0
    while True:
        n += 1
        chat.anonymize(f"mail x{n}@example.com")
""")


def test_processes_killed_at_random_points_never_break_the_session(tmp_path):
    path = tmp_path / "chat.json"
    rng = random.Random(15)
    sizes = []
    for _ in range(12):
        process = subprocess.Popen([sys.executable, "-c", SAVING_FOREVER, str(path)],
                                   stdout=subprocess.PIPE, text=True)
        assert process.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0.0, 0.3))
        process.send_signal(signal.SIGKILL)
        process.wait()
        process.stdout.close()
        size = len(velk.SessionFile(path).read())  # always a whole session
        assert size >= (sizes[-1] if sizes else 3000)
        sizes.append(size)
    assert sizes[-1] > 3000
