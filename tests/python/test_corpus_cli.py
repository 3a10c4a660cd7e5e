"""`velk corpus` as a user runs it: the installed console script on JSON Lines files, in its own
process, on worker processes and on a Dask cluster; malformed input named by its line, with no
output and the session unchanged."""

import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velk
import velk_anonymizer as va
from test_cli import read_terminal, terminal_pair
from velk.corpus import JsonLinesFile

VELK = Path(sys.executable).parent / "velk"

RECORDS = [
    {"id": 1, "text": "Ping @jdoe about BlueHarbor in Dallas, TX", "tags": ["a", "ü"]},
    {"id": 2, "text": "Did [PERSON_2] and Sarah Miller reply? 東京 😀", "n": 1.5},
    {"text": "", "id": 3},
    {"id": 4, "text": "Mail sarah.miller@acme-corp.com and ask @jdoe", "nested": {"x": None}},
] * 5


def velk_corpus(*args, cwd):
    done = subprocess.run([str(VELK), "corpus", *map(str, args)], capture_output=True,
                          cwd=cwd, timeout=300)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def write_jsonl(path, records):
    path.write_text("".join(json.dumps(record, ensure_ascii=False) + "\n"
                            for record in records), encoding="utf-8")


def expected(records, existing=None, extra=False):
    result = velk.anonymize_corpus([record["text"] for record in records], existing,
                                   extra=extra)
    lines = [json.dumps(dict(record, text=text), ensure_ascii=False) + "\n"
             for record, text in zip(records, result.texts)]
    return "".join(lines), result.token_map.to_session_json()


@pytest.mark.parametrize("engine", [[], ["--workers", "1"], ["--workers", "2"]],
                         ids=["in-process", "one-worker", "two-workers"])
@pytest.mark.parametrize("batch_size", ["1", "256"])
def test_records_keep_their_fields_and_order_and_the_session_gets_the_map(
        tmp_path, engine, batch_size):
    write_jsonl(tmp_path / "in.jsonl", RECORDS)
    status, out, err = velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
                                   "chat.json", "--no-extra", "--batch-size", batch_size,
                                   *engine, cwd=tmp_path)
    assert (status, out, err) == (0, "", "")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(RECORDS)


@pytest.mark.parametrize("engine", [[], ["--workers", "2"]], ids=["in-process", "workers"])
def test_extra_detection_counts_on_workers_as_in_the_command_itself(tmp_path, engine):
    records = RECORDS + [{"id": 5, "text": "Call Priya Raman at +44 20 7946 0958, Acme GmbH"}]
    write_jsonl(tmp_path / "in.jsonl", records)
    status, out, err = velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
                                   "chat.json", "--batch-size", "4", *engine, cwd=tmp_path)
    assert (status, out, err) == (0, "", "")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(records,
                                                                              extra=True)


@pytest.mark.parametrize("engine", [[], ["--workers", "2"]], ids=["in-process", "workers"])
def test_progress_bars_for_both_passes_on_a_terminal_only(tmp_path, engine):
    write_jsonl(tmp_path / "in.jsonl", RECORDS)
    controller, terminal = terminal_pair()
    process = subprocess.Popen(
        [str(VELK), "corpus", "in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
         "chat.json", "--no-extra", "--batch-size", "3", *engine],
        cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)
    shown = read_terminal(controller)
    assert process.wait(timeout=300) == 0
    assert process.stdout.read() == b""
    process.stdout.close()
    assert b"detect" in shown and b"substitute" in shown and b"100%" in shown \
        and b"20/20" in shown, shown
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(RECORDS)


@pytest.mark.parametrize("engine", [[], ["--workers", "2"]], ids=["in-process", "workers"])
def test_line_ends_as_written_and_a_last_line_without_one(tmp_path, engine):
    # CRLF line ends, a carriage return between tokens (JSON white space), no final line end.
    records = [json.dumps(record, ensure_ascii=False).encode() for record in RECORDS]
    data = b"\r\n".join(records[:5]) + b"\r\n" + records[5].replace(b", ", b",\r ", 1) \
        + b"\n" + b"\n".join(records[6:])
    (tmp_path / "in.jsonl").write_bytes(data)
    status, out, err = velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
                                   "chat.json", "--no-extra", "--batch-size", "3", *engine,
                                   cwd=tmp_path)
    assert (status, out, err) == (0, "", "")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(RECORDS)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.binary(max_size=30).map(lambda line: line.replace(b"\n", b"")), max_size=25),
       st.booleans(), st.integers(1, 5), st.integers(1, 70))
def test_the_batches_workers_read_are_whole_lines_that_tile_the_file(lines, last_end,
                                                                      batch_size, block):
    data = b"\n".join(lines) + (b"\n" if last_end and lines else b"")
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "in.jsonl"
        path.write_bytes(data)
        spans = list(JsonLinesFile(str(path), "text", "in.jsonl").spans(batch_size, block))
    read_line_by_line = list(io.BytesIO(data))
    longest = max(map(len, read_line_by_line), default=0)
    at, line = 0, 1
    for first, offset, length, count in spans:
        assert (first, offset) == (line, at)
        assert 1 <= count <= batch_size and length <= block + longest
        assert data[offset:offset + length] == b"".join(read_line_by_line[line - 1:
                                                                          line - 1 + count])
        at, line = at + length, line + count
    assert (at, line - 1) == (len(data), len(read_line_by_line))


def test_an_existing_session_is_extended(tmp_path):
    first = va.anonymize("Ask Alice Chen about [PERSON_4] in Tokyo").token_map
    (tmp_path / "chat.json").write_text(first.to_session_json(), encoding="utf-8")
    write_jsonl(tmp_path / "in.jsonl", RECORDS)
    assert velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s", "chat.json",
                       "--no-extra", cwd=tmp_path) == (0, "", "")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(RECORDS, first)


def test_a_dask_scheduler_gives_the_same_files(tmp_path):
    distributed = pytest.importorskip("distributed")  # velk_anonymizer[dask]
    write_jsonl(tmp_path / "in.jsonl", RECORDS)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        status, out, err = velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
                                       "chat.json", "--no-extra", "--batch-size", "3",
                                       "--scheduler", cluster.scheduler_address, cwd=tmp_path)
    assert (status, out) == (0, "")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(RECORDS)


def children(pid):
    """The child processes of `pid`, oldest first: by start time, then by process id (ids
    wrap around, so they alone do not tell which child is newer)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append((int(fields[19]), int(entry)))  # parent, ..., start time
        except (OSError, ValueError, IndexError):  # not a process, or one that has ended
            continue
    return [child for _, child in sorted(found)]


@pytest.mark.parametrize("killed_in", ["detection", "substitution"])
def test_a_killed_worker_process_is_replaced_and_the_files_are_the_same(tmp_path, killed_in):
    records = [dict(record, id=number) for number, record in enumerate(RECORDS * 100)]
    write_jsonl(tmp_path / "in.jsonl", records)
    # Tasks of one record each make the run last long enough to kill a worker in the middle.
    command = subprocess.Popen(
        [str(VELK), "corpus", "in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
         "chat.json", "--no-extra", "--batch-size", "1", "--workers", "2"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # The workers are the command's children, forked from it: the detecting ones first;
        # once it has made the map, a child that writes the session document, then the
        # substituting workers. So of two new children the later one is a worker.
        deadline = time.monotonic() + 60
        detecting, workers = None, []
        while command.poll() is None and time.monotonic() < deadline:
            workers = children(command.pid)
            if workers and detecting is None:
                detecting = set(workers)
            if workers and killed_in == "substitution":
                workers = [child for child in workers if child not in detecting]
                workers = workers if len(workers) >= 2 else []
            if workers:
                break
            time.sleep(0.002)
        assert workers, f"no worker process appeared in {killed_in}"
        os.kill(workers[-1], signal.SIGKILL)
        out, err = command.communicate(timeout=300)
    finally:
        command.kill()
    assert (command.returncode, out.decode(), err.decode()) == (
        0, "", "velk: a worker process ended unexpectedly; its batches run again on new "
               "workers\n")
    assert ((tmp_path / "out.jsonl").read_text(encoding="utf-8"),
            (tmp_path / "chat.json").read_text(encoding="utf-8")) == expected(records)


GOOD = b'{"text": "Ping @jdoe"}\n'


@pytest.mark.parametrize("bad_line, reason", [
    (b'{"text": "unterminated\n', "is not JSON: Unterminated string starting at "
                                  "(column 10)"),
    (b"[1, 2]\n", "is not a JSON object but an array"),
    (b"\r\n", "is not JSON: Expecting value (column 1)"),
    (b'{"body": "x"}\n', "has no string field 'text'"),
    (b'{"text": 42}\n', "has a number in its string field 'text'"),
    (b'{"text": "caf\xe9"}\n', "is not UTF-8 text (invalid continuation byte at byte offset 13 "
                              "of the line)"),
])
@pytest.mark.parametrize("engine", [[], ["--workers", "2"]], ids=["in-process", "workers"])
def test_a_malformed_line_is_named_and_nothing_is_written(tmp_path, bad_line, reason, engine):
    (tmp_path / "in.jsonl").write_bytes(GOOD * 600 + bad_line + GOOD)
    session = va.anonymize("Ask Alice Chen").token_map.to_session_json()
    (tmp_path / "chat.json").write_text(session, encoding="utf-8")
    (tmp_path / "out.jsonl").write_text("old\n")
    status, out, err = velk_corpus("in.jsonl", "-o", "out.jsonl", "--field", "text", "-s",
                                   "chat.json", "--no-extra", *engine, cwd=tmp_path)
    assert (status, out, err) == (1, "", f"velk: 'in.jsonl' line 601 {reason}\n")
    assert (tmp_path / "out.jsonl").read_text() == "old\n"
    assert (tmp_path / "chat.json").read_text(encoding="utf-8") == session
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "chat.json", "chat.json.lock", "in.jsonl", "out.jsonl"]


@pytest.mark.parametrize("args, status, message", [
    (["missing.jsonl", "-o", "o.jsonl", "--field", "text", "-s", "s.json"], 1,
     "velk: cannot read 'missing.jsonl': no such file\n"),
    (["in.jsonl", "-o", "o.jsonl", "--field", "text", "-s", "s.json", "--workers", "0"], 2,
     "argument --workers: must be at least 1, not 0"),
    (["in.jsonl", "-o", "o.jsonl", "--field", "text", "-s", "s.json", "--workers", "2",
      "--scheduler", "tcp://127.0.0.1:1"], 2,
     "argument --scheduler: not allowed with argument --workers"),
])
def test_usage_and_file_errors(tmp_path, args, status, message):
    write_jsonl(tmp_path / "in.jsonl", RECORDS)
    done = velk_corpus(*args, cwd=tmp_path)
    assert done[:2] == (status, "") and message in done[2]
    assert not (tmp_path / "o.jsonl").exists() and not (tmp_path / "s.json").exists()
