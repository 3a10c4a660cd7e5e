"""`velk` as a user runs it (the installed console script, `python -m velk`): pipes and files,
processes sharing one session, every error path with its exit status and message."""

import contextlib
import fcntl
import json
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import velk
import velk_anonymizer as va

VELK = Path(sys.executable).parent / "velk"
CHAT = ("Hey @mlopez, Sarah Miller says the deploy in Dallas, TX failed.\r\n"
        "Mail sarah.miller@acme-corp.com – 東京 team 😀\n"
        "```\nexport API_HOST=10.20.30.40\n```\n")


def velk_cli(*args, input=b"", cwd=None, command=None):
    """Runs the console script; returns (status, stdout bytes, stderr text)."""
    done = subprocess.run([*(command or [str(VELK)]), *map(str, args)], input=input,
                          capture_output=True, cwd=cwd, timeout=120)
    return done.returncode, done.stdout, done.stderr.decode()


def test_the_installed_script_anonymizes_and_restores_through_pipes(tmp_path):
    assert VELK.is_file() and os.access(VELK, os.X_OK)
    status, out, err = velk_cli("--version")
    assert (status, err, out[:5]) == (0, "", b"velk ")
    session = tmp_path / "chat.json"
    status, out, err = velk_cli("anonymize", "-s", session, input=CHAT.encode())
    assert (status, err) == (0, "")
    assert out.decode().startswith("Hey [HANDLE_1], [PERSON_1] says the deploy in [PLACE_1], "
                                   "[PLACE_2] failed.\r\nMail [EMAIL_1]")
    assert b"export API_HOST=10.20.30.40" in out  # code is left alone
    # Tokens stay stable from one run to the next.
    assert velk_cli("anonymize", "-s", session, "-", input=b"ping @mlopez")[:2] == (
        0, b"ping [HANDLE_1]")
    status, out, err = velk_cli("restore", "-s", session, input=out)
    assert (status, out.decode(), err) == (0, CHAT, "")
    # python -m velk does the same.
    module = [sys.executable, "-m", "velk"]
    assert velk_cli("anonymize", "-s", session, input=b"Ping @jdoe", command=module)[:2] == (
        0, b"Ping [HANDLE_2]")
    assert velk_cli("restore", "-s", session, input=b"[HANDLE_2]!", command=module)[:2] == (
        0, b"@jdoe!")
    status, _, err = velk_cli("anonymize", command=module)
    assert status == 2 and "usage: velk anonymize" in err


def test_files_in_and_out_keep_their_names_and_bytes(tmp_path):
    notes = tmp_path / "notes"
    notes.mkdir()
    texts = {"a.md": CHAT, "b.txt": "Ask @mlopez and Sarah Miller\n", "empty": ""}
    for name, text in texts.items():
        (notes / name).write_text(text, newline="")
    session = tmp_path / "team.json"
    status, out, err = velk_cli("anonymize", "-s", session, "-o", tmp_path / "anon",
                                *(notes / name for name in texts))
    assert (status, out, err) == (0, b"", "")
    assert sorted(os.listdir(tmp_path / "anon")) == sorted(texts)
    assert (tmp_path / "anon" / "b.txt").read_text() == "Ask [HANDLE_1] and [PERSON_1]\n"
    assert velk_cli("restore", "-s", session, "-o", tmp_path / "back",
                    *(tmp_path / "anon" / name for name in texts))[0] == 0
    for name, text in texts.items():
        assert (tmp_path / "back" / name).read_bytes() == text.encode()
    # One file goes to standard output.
    assert velk_cli("restore", "-s", session, tmp_path / "anon" / "b.txt")[:2] == (
        0, texts["b.txt"].encode())
    assert [name for name in os.listdir(tmp_path / "back") if name.endswith(".tmp")] == []


def test_tokens_lists_kinds_in_the_modules_order_then_numbers_with_texts_on_one_line(tmp_path):
    session = tmp_path / "odd.json"
    session.write_text(json.dumps([1, [{}, {
        "[PLACE_1]": "東京", "[PERSON_10]": "two\nlines\tand\x07", "[PERSON_2]": "Ann",
        "[ROBOT_2]": "R2", "key": "value"}]]))
    status, out, _ = velk_cli("tokens", "-s", session)
    assert (status, out.decode().splitlines()) == (0, [
        "TOKEN        KIND    TEXT",
        "[PERSON_2]   Person  Ann",
        "[PERSON_10]  Person  two\\nlines\\tand\\x07",
        "[PLACE_1]    Place   東京",
        "[ROBOT_2]    -       R2",
        "key          -       value",
    ])


def read_until(stream, expected, timeout=30):
    """Reads from a pipe until ``expected`` bytes have arrived (or the time is up)."""
    got, deadline = b"", time.monotonic() + timeout
    while len(got) < len(expected) and time.monotonic() < deadline:
        if select.select([stream], [], [], 0.1)[0]:
            if not (data := os.read(stream.fileno(), 4096)):
                break
            got += data
    return got


def test_restore_from_standard_input_streams_as_text_arrives(tmp_path):
    session = tmp_path / "chat.json"
    velk_cli("anonymize", "-s", session, input=b"Sarah Miller in Zurich, \xc3\xa9t\xc3\xa9")
    process = subprocess.Popen([VELK, "restore", "-s", session], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    try:
        # "[PERS" could still become [PERSON_1]; half a character waits for its other half.
        steps = [(b"Hello ", b"Hello "), (b"[PERS", b""), (b"ON_1] and [", b"Sarah Miller and "),
                 (b"x] \xc3", b"[x] "), (b"\xa9 [PERSON_1", b"\xc3\xa9 ")]
        for sent, expected in steps:
            process.stdin.write(sent)
            assert read_until(process.stdout, expected) == expected
            if not expected:
                time.sleep(0.2)
                assert not select.select([process.stdout], [], [], 0)[0]
        process.stdin.close()
        assert process.stdout.read() == b"[PERSON_1"
        assert process.wait(timeout=30) == 0
    finally:
        process.kill()
        process.wait()


def terminal_pair():
    """A pseudo-terminal of 24 lines by 100 columns: (controller, terminal)."""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    return controller, terminal


def read_terminal(controller):
    """All that the programs on a pseudo-terminal wrote, once they closed it."""
    shown = b""
    with contextlib.suppress(OSError):  # EIO: the other side closed
        while data := os.read(controller, 4096):
            shown += data
    os.close(controller)
    return shown


# Off a terminal standard error stays empty (test_files_in_and_out_keep_their_names_and_bytes).
def test_a_progress_bar_for_several_files_on_a_terminal(tmp_path):
    files = [tmp_path / f"in{n}.txt" for n in range(3)]
    for n, path in enumerate(files):
        path.write_text(f"Ping @user{n}")
    session = tmp_path / "s.json"
    controller, terminal = terminal_pair()
    process = subprocess.Popen([VELK, "anonymize", "-s", session, "-o", tmp_path / "out", *files],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    shown = read_terminal(controller)
    assert process.wait(timeout=60) == 0
    assert b"anonymize" in shown and b"100%" in shown and b"3/3" in shown
    # One file: no bar even on a terminal.
    controller, terminal = terminal_pair()
    done = subprocess.run([VELK, "anonymize", "-s", session, files[0]], stderr=terminal,
                          stdout=subprocess.DEVNULL)
    os.close(terminal)
    assert (done.returncode, read_terminal(controller)) == (0, b"")


def test_several_processes_anonymize_into_one_session_at_once(tmp_path):
    session = tmp_path / "shared.json"
    workers, messages = 6, 10

    def work(worker):
        outputs = {}
        for message in range(messages):
            text = (f"mail w{worker}m{message}@example.com, shared{message % 4}@example.com "
                    f"and @dev{worker}")
            status, out, err = velk_cli("anonymize", "-s", session, input=text.encode())
            assert (status, err) == (0, "")
            outputs[text] = out.decode()
        return outputs

    with ThreadPoolExecutor(workers) as pool:
        results = list(pool.map(work, range(workers)))
    outputs = {text: out for result in results for text, out in result.items()}
    assert len(outputs) == workers * messages
    forward, reverse = json.loads(session.read_text())["tokenMap"].values()
    expected = workers * messages + 4 + workers  # unique mails, shared mails, handles
    assert len(forward) == len(reverse) == len(set(forward.values())) == expected
    token_map = velk.SessionFile(session).read()
    for text, out in outputs.items():
        assert "@" not in out and va.deanonymize(out, token_map) == text
    emails = sorted(int(t[7:-1]) for t in reverse if t.startswith("[EMAIL_"))
    assert emails == list(range(1, workers * messages + 4 + 1))


def snapshot(folder):
    return {str(path.relative_to(folder)): path.is_file() and path.read_bytes()
            for path in sorted(folder.rglob("*"))}


@pytest.fixture
def inputs(tmp_path):
    """A folder of inputs for the error paths: a session with its lock, a broken one, a good and a
    bad file, a folder, a file and a name that are in the way of outputs."""
    velk.Conversation(tmp_path / "s.json").anonymize("Ask Sarah Miller")
    (tmp_path / "broken.json").write_text('{"version":1,"tokenMap":')
    (tmp_path / "broken.json.lock").touch()
    (tmp_path / "a.txt").write_text("Ping @jdoe")
    (tmp_path / "b.txt").write_bytes(b"Ping @mlopez \x80")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "a.txt").write_text("Ping @mlopez")
    (tmp_path / "file").write_text("")
    (tmp_path / "out" / "a.txt").mkdir(parents=True)
    return tmp_path


USAGE = {  # arguments: the start of the last line of standard error
    "": "velk: error: a command is required: anonymize, restore, tokens or corpus",
    "translate": "velk: error: argument COMMAND: invalid choice: 'translate'",
    "anonymize": "velk anonymize: error: the following arguments are required: -s/--session",
    "tokens -s x.json extra": "velk: error: unrecognized arguments: extra",
    "anonymize -s x.json a b": "velk anonymize: error: several files need -o DIR",
    "restore -s x.json -o out": "velk restore: error: -o DIR needs input files (standard input "
                                "has no name to keep)",
    "anonymize -s x.json -o out a -": "velk anonymize: error: standard input (-) cannot be one "
                                      "of several inputs",
}
BROKEN = ("is not a session: session JSON is malformed: EOF while parsing a value at line 1 "
          "column 24")
BAD_FILE = "'b.txt' is not UTF-8 text: invalid start byte at byte offset 13"
FAILURES = {  # arguments: standard error after "velk: "
    "restore -s nope.json": "session file 'nope.json' does not exist",
    "tokens -s nope.json": "session file 'nope.json' does not exist",
    # anonymize reads the session under its lock, tokens without it
    "anonymize -s broken.json -": f"session file 'broken.json' {BROKEN}",
    "tokens -s broken.json": f"session file 'broken.json' {BROKEN}",
    "anonymize -s no/such/s.json": "session file 'no/such/s.json' cannot be locked: "
                                   "{tmp}/no/such/s.json.lock: No such file or directory",
    "anonymize -s new.json missing.txt": "cannot read 'missing.txt': No such file or directory",
    "anonymize -s new.json sub": "cannot read 'sub': Is a directory",
    # one bad file of several: no output, and no session saved or created
    "anonymize -s new.json -o o a.txt b.txt": BAD_FILE,
    "anonymize -s s.json -o o a.txt b.txt": BAD_FILE,
    "anonymize -s new.json -o file a.txt": "output folder 'file' is not a folder",
    "anonymize -s new.json -o o a.txt sub/a.txt": "inputs 'a.txt' and 'sub/a.txt' would both be "
                                                  "written to 'o/a.txt'",
    "anonymize -s new.json -o out a.txt": "cannot write 'out/a.txt': it is a folder",
}


def fails(folder, args, status):
    """Runs a command that must fail with `status`, write nothing to standard output and change
    no file in `folder`; returns its standard error."""
    before = snapshot(folder)
    got = velk_cli(*args.split(), input=b"Ping @jdoe", cwd=folder)
    assert (got[:2], snapshot(folder)) == ((status, b""), before)
    return got[2]


@pytest.mark.parametrize("args,message", USAGE.items(), ids=[a or "no command" for a in USAGE])
def test_usage_errors_exit_2(inputs, args, message):
    err = fails(inputs, args, 2)
    assert err.startswith("usage: velk") and err.splitlines()[-1].startswith(message)


@pytest.mark.parametrize("args,message", FAILURES.items(), ids=FAILURES.keys())
def test_failures_exit_1_with_one_line(inputs, args, message):
    assert fails(inputs, args, 1) == f"velk: {message}\n".replace("{tmp}",
                                                                   os.path.realpath(inputs))


@pytest.mark.parametrize("command", ["anonymize", "restore"])
@pytest.mark.parametrize("data,message", [
    (b"caf\xc3\xa9 ok \xff rest", "invalid start byte at byte offset 9"),
    (b"ok \xe6\x9d", "unexpected end of data at byte offset 3"),
    (b"x" * 100_000 + b"\xc3\x28", "invalid continuation byte at byte offset 100000"),
], ids=["bad byte", "cut at the end", "far in"])
def test_input_that_is_not_utf8_names_the_file_and_the_byte_offset(inputs, command, data,
                                                                     message):
    (inputs / "in.txt").write_bytes(data)
    before = snapshot(inputs)
    got = velk_cli(command, "-s", "s.json", "in.txt", cwd=inputs)
    assert got == (1, b"", f"velk: 'in.txt' is not UTF-8 text: {message}\n")
    status, out, err = velk_cli(command, "-s", "s.json", input=data, cwd=inputs)
    assert (status, err) == (1, f"velk: standard input is not UTF-8 text: {message}\n")
    # restore streams: what came before the bad byte went out
    assert data.startswith(out) and (command == "restore" or out == b"")
    assert snapshot(inputs) == before


def test_a_failed_session_save_leaves_no_output(tmp_path, monkeypatch, capsys):
    # In-process, with the save made to fail: the staged outputs go, the session stays.
    import velk.cli
    import velk.session

    session = tmp_path / "s.json"
    velk.Conversation(session).anonymize("Ping @jdoe")
    (tmp_path / "a.txt").write_text("Ping @mlopez")
    (tmp_path / "b.txt").write_text("Ping @other")
    before = snapshot(tmp_path)

    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(velk.session, "write_atomic", full_disk)
    status = velk.cli.main(["anonymize", "-s", str(session), "-o", str(tmp_path / "out"),
                            str(tmp_path / "a.txt"), str(tmp_path / "b.txt")])
    assert (status, capsys.readouterr(), snapshot(tmp_path)) == (1, ("", (
        f"velk: session file '{session}' cannot be saved: No space left on device\n")), before)


def test_a_reader_that_goes_away_ends_restore_quietly(tmp_path):
    session = tmp_path / "s.json"
    velk_cli("anonymize", "-s", session, input=b"Ping @jdoe")
    script = f"yes '[HANDLE_1] ' | head -c 3000000 | '{VELK}' restore -s '{session}' | head -c 10"
    done = subprocess.run(["bash", "-o", "pipefail", "-c", script], capture_output=True,
                          timeout=120)
    assert done.stdout == b"@jdoe \n@jd"
    assert done.stderr == b""
