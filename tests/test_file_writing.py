"""The one file writer every part of the package writes through (VELD Parquet
and Feather, the fetcher's VELD export, the metadata cache, the sample
database and its catalogue, the command line's output through
export._write_atomically): devices and FIFOs written into, unique temporary
files, file modes, and what a failed, interrupted or concurrent write leaves."""

import io
import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pandas as pd
import pyarrow.feather as feather
import pyarrow.parquet as pq
import pytest

from kelvane import export, sandbox
from kelvane.fetching import DataFetcher
from kelvane.metastash import MetaStash

pytestmark = pytest.mark.skipif(os.name != "posix", reason="POSIX file semantics")

PREFIX = ".kelvane-tmp-"


def table(rows=4):
    return pd.DataFrame({"STATIONID": ["37001"] * rows, "OBSVALUE": [float(i) for i in range(rows)]},
                        index=pd.date_range("2024-01-01", periods=rows, freq="min", name="STARTDATE"))


def write_text(target, text, **kwargs):
    if isinstance(target, Path):
        target = str(target)
    return export._write_atomically(target, lambda f: f.write(text), "w", encoding="utf-8",
                                    **kwargs)


def temporaries(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith(PREFIX))


@pytest.fixture
def folder(tmp_path):
    """An empty folder of the test's own (the test's folder holds its home)."""
    folder = tmp_path / "files"
    folder.mkdir()
    return folder


@pytest.fixture
def fixed_umask():
    def use(mask):
        os.umask(mask)

    previous = os.umask(0o022)
    yield use
    os.umask(previous)


def write_payload(where):
    """A writer taking a path or a file, as pyarrow's and pandas' do."""
    if hasattr(where, "write"):
        where.write(b"payload")
    else:
        Path(where).write_bytes(b"payload")


# Every writer of the package, as calls writing to a path; each is handed the
# same kinds of target below.
WRITERS = {
    "export_veld": lambda path: export.export_veld(table(), path, {"n": 1}),
    "export_to_feather": lambda path: export.export_to_feather(table(), path),
    "write_catalogue": lambda path: sandbox.write_catalogue(path, start="20240101", end="20240110",
                                                            count=5),
    "write path": lambda path: export._write_atomically(path, write_payload),
    "write file": lambda path: write_text(path, "payload\n"),
}

# The metadata cache names its files itself: given a path ending in
# items.parquet, it writes that file.
FILE_WRITERS = dict(WRITERS, save_table=lambda path: MetaStash.save_table(
    "items", pd.DataFrame({"ITEMID": ["1"], "ITEMNAME": ["a"], "UNIT": ["m"]}),
    str(Path(path).parent), None))


def child_env():
    """A child interpreter that imports the kelvane under test."""
    import kelvane

    env = dict(os.environ)
    parent = str(Path(kelvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (parent, env.get("PYTHONPATH", "")) if p)
    return env


# --- targets that are not regular files ---------------------------------------


def drain(path, sink):
    with open(path, "rb") as f:
        sink.append(f.read())


@pytest.mark.parametrize("name", list(WRITERS))
def test_a_fifo_or_a_link_to_one_is_written_into_and_stays(name, folder):
    fifo = folder / "pipe"
    os.mkfifo(fifo)
    link = folder / "link"
    link.symlink_to(fifo)
    for target in (fifo, link):
        got = []
        reader = threading.Thread(target=drain, args=(fifo, got), daemon=True)
        reader.start()
        WRITERS[name](str(target))
        reader.join(timeout=20)
        assert got and len(got[0]) > 0
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
        assert link.is_symlink() and os.readlink(link) == str(fifo)
    if name.startswith("write "):
        assert got[0].startswith(b"payload")
    if name == "export_veld":  # Parquet streams into a pipe too
        assert pq.read_table(io.BytesIO(got[0])).num_rows == 4
    assert sorted(p.name for p in folder.iterdir()) == ["link", "pipe"]


def private_null_device(folder):
    """A character device like /dev/null: a node of our own when the process
    may make one (so a faulty writer cannot replace the system's), else
    /dev/null itself, which an unprivileged writer cannot replace anyway."""
    if os.geteuid() == 0:
        node = folder / "null"
        try:
            os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
            with open(node, "wb") as f:
                f.write(b"x")
            return node
        except OSError:
            pytest.skip("cannot make a device node here")
    return Path("/dev/null")


@pytest.mark.parametrize("name", list(WRITERS))
def test_a_character_device_is_written_into_never_replaced(name, folder):
    device = private_null_device(folder)
    before = os.lstat(device)
    WRITERS[name](str(device))
    after = os.lstat(device)
    assert stat.S_ISCHR(after.st_mode) and after.st_rdev == before.st_rdev
    assert after.st_ino == before.st_ino
    assert temporaries(device.parent) == []


def test_a_parquet_write_that_fails_removes_neither_a_device_nor_the_earlier_file(folder):
    # converts to Arrow, but Parquet has no type for it: pyarrow fails after
    # opening the file and removes the path it was given
    df = pd.DataFrame({"a": [pd.DateOffset(months=1)]})
    device = private_null_device(folder)
    earlier = folder / "earlier.parquet"
    export.export_veld(table(), earlier)
    for target in (device, earlier):
        before = os.lstat(target)
        with pytest.raises(Exception, match="month_day_nano_interval"):
            export.export_veld(df, str(target))
        after = os.lstat(target)
        assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert pq.read_table(earlier).num_rows == 4 and temporaries(folder) == []


def test_a_folder_as_target_fails_as_a_plain_write_and_stays(folder):
    (folder / "d").mkdir()
    with pytest.raises(IsADirectoryError):
        write_text(folder / "d", "x")
    with pytest.raises(IsADirectoryError):
        export._write_atomically(str(folder / "d"), lambda p: open(p, "wb").close())
    assert os.listdir(folder) == ["d"] and os.listdir(folder / "d") == []


# --- links to regular files ---------------------------------------------------


def test_links_are_followed_and_kept(folder):
    real = folder / "real.txt"
    real.write_text("old")
    link = folder / "sub" / "link.txt"
    link.parent.mkdir()
    link.symlink_to("../real.txt")
    write_text(link, "new")
    assert link.is_symlink() and real.read_text() == "new"
    # a dangling link: the file it names is made, as a plain write makes it
    dangling = folder / "dangling.txt"
    dangling.symlink_to(folder / "made.txt")
    write_text(dangling, "made")
    assert dangling.is_symlink() and (folder / "made.txt").read_text() == "made"
    assert temporaries(folder) == [] and temporaries(folder / "sub") == []


# --- the temporary file -------------------------------------------------------


def test_each_write_has_its_own_temporary_beside_the_target(folder):
    target = folder / "out.csv.gz"
    seen = []

    def record(path):
        seen.append(path)
        assert Path(path).parent == folder
        # the target's name comes last, so its extension is the temporary's
        assert Path(path).name.startswith(PREFIX) and Path(path).name.endswith("-out.csv.gz")
        assert os.path.isfile(path) and os.path.getsize(path) == 0
        assert target.read_bytes() == (b"x" if len(seen) > 1 else b"earlier")
        Path(path).write_bytes(b"x")
        return len(seen)

    target.write_bytes(b"earlier")
    assert export._write_atomically(str(target), record) == 1
    assert export._write_atomically(target, record) == 2  # a path object too
    assert len(set(seen)) == 2
    assert target.read_bytes() == b"x" and temporaries(folder) == []


def test_a_very_long_target_name_still_gets_a_temporary(folder):
    target = folder / ("长" * 80 + ".parquet")  # 240 + 8 bytes of the 255 a name may have
    export.export_veld(table(), target)
    assert pq.read_table(target).num_rows == 4 and temporaries(folder) == []


def test_a_writer_that_puts_its_own_file_at_the_temporary_name_is_committed(folder, fixed_umask):
    fixed_umask(0o022)
    target = folder / "t"
    target.write_text("old")
    target.chmod(0o604)

    def replace(path):
        os.remove(path)
        with open(path, "w") as f:
            f.write("new")

    export._write_atomically(str(target), replace)
    assert target.read_text() == "new" and stat.S_IMODE(target.stat().st_mode) == 0o604


def test_file_mode_writes_text_or_bytes_and_checks_the_mode(folder):
    target = folder / "t.txt"
    assert write_text(target, "é\n", newline="\n") == 2
    assert target.read_bytes() == "é\n".encode()
    export._write_atomically(str(target), lambda f: f.write(b"\x00\x01"), "wb")
    assert target.read_bytes() == b"\x00\x01"
    with pytest.raises(ValueError, match="mode"):
        export._write_atomically(str(target), lambda f: None, "a")
    sink = io.StringIO()
    write_text(sink, "to a file object")  # an open file goes to the writer as it is
    assert sink.getvalue() == "to a file object"


# --- file modes -----------------------------------------------------------------


@pytest.mark.parametrize("name", list(FILE_WRITERS))
def test_an_existing_files_mode_is_kept(name, folder, fixed_umask):
    fixed_umask(0o022)
    target = folder / "items.parquet"
    FILE_WRITERS[name](str(target))
    target.chmod(0o600)
    FILE_WRITERS[name](str(target))
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    # exactly the target's bits, also those the umask would take away
    fixed_umask(0o077)
    target.chmod(0o644)
    FILE_WRITERS[name](str(target))
    assert stat.S_IMODE(target.stat().st_mode) == 0o644
    assert temporaries(folder) == []


def test_the_temporary_has_the_targets_mode_while_it_is_written(folder, fixed_umask):
    fixed_umask(0o002)
    target = folder / "secret"
    target.write_text("old")
    target.chmod(0o600)
    during = []
    export._write_atomically(str(target), lambda p: during.append(stat.S_IMODE(os.stat(p).st_mode)))
    assert during == [0o600]
    target.chmod(0o664)
    export._write_atomically(str(target), lambda p: during.append(stat.S_IMODE(os.stat(p).st_mode)))
    assert during[1] == 0o664 and stat.S_IMODE(target.stat().st_mode) == 0o664


@pytest.mark.parametrize("mask, expected", [(0o022, 0o644), (0o027, 0o640), (0o077, 0o600)])
@pytest.mark.parametrize("name", list(FILE_WRITERS))
def test_a_new_file_gets_the_mode_a_plain_open_gives(name, mask, expected, folder, fixed_umask):
    fixed_umask(mask)
    target = folder / "items.parquet"
    FILE_WRITERS[name](str(target))
    assert stat.S_IMODE(target.stat().st_mode) == expected


def test_the_sample_database_and_the_fetchers_export_keep_modes(folder, fixed_umask):
    fixed_umask(0o077)
    db = folder / "s.sqlite"
    sandbox.build(str(db), start="20240101", end="20240103", minute_days=0, second_days=0,
                  stations=["37005"])
    assert stat.S_IMODE(db.stat().st_mode) == 0o600
    db.chmod(0o640)
    sandbox.build(str(db), start="20240101", end="20240103", minute_days=0, second_days=0,
                  stations=["37005"])
    assert stat.S_IMODE(db.stat().st_mode) == 0o640
    conn = sandbox.connect(str(db))
    try:
        df = pd.DataFrame({"STATIONID": ["37005"], "ITEMID": ["4112"], "OBSVALUE": [1.0]})
        out = folder / "v.parquet"
        out.write_bytes(b"old")
        out.chmod(0o604)
        DataFetcher.export_veld(conn, df, str(out), 60)
        assert pq.read_table(out).num_rows == 1 and stat.S_IMODE(out.stat().st_mode) == 0o604
    finally:
        conn.close()
    assert temporaries(folder) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to own files for another user")
def test_the_owner_of_a_replaced_file_is_kept(folder):
    target = folder / "theirs.txt"
    target.write_text("old")
    os.chown(target, 4321, 4321)
    write_text(target, "new")
    st = target.stat()
    assert (st.st_uid, st.st_gid) == (4321, 4321) and target.read_text() == "new"


# --- failed, interrupted and concurrent writes ------------------------------------


class Boom(Exception):
    pass


def test_a_failing_writer_leaves_the_earlier_file_and_no_temporary(folder):
    target = folder / "t.txt"
    write_text(target, "earlier")

    def half(f):
        f.write("half of it")
        f.flush()
        raise Boom("disk full")

    def half_by_path(path):
        Path(path).write_text("half of it")
        raise Boom("disk full")

    with pytest.raises(Boom):
        export._write_atomically(str(target), half, "w")
    with pytest.raises(Boom):
        export._write_atomically(str(target), half_by_path)
    assert target.read_text() == "earlier" and temporaries(folder) == []
    with pytest.raises(FileNotFoundError) as err:
        write_text(folder / "missing" / "t.txt", "x")
    assert err.value.filename == str(folder / "missing" / "t.txt")


def test_a_failing_catalogue_or_database_build_leaves_the_earlier_file(folder, monkeypatch):
    cat = folder / "kat.txt"
    cat.write_text("earlier")
    with pytest.raises(ValueError):
        sandbox.write_catalogue(str(cat), start="20240110", end="20240101")
    db = folder / "s.sqlite"
    db.write_bytes(b"earlier")
    import gzip

    def broken(*args, **kwargs):
        raise Boom("no space left")

    monkeypatch.setattr(gzip, "compress", broken)
    with pytest.raises(Boom):
        sandbox.build(str(db), start="20240101", end="20240102", stations=["37005"])
    assert cat.read_text() == "earlier" and db.read_bytes() == b"earlier"
    assert temporaries(folder) == []


SLOW_WRITER = """
import sys, time
from pathlib import Path
from kelvane import export
target, tag, rounds, go = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3]), Path(sys.argv[4])
while not go.exists():
    time.sleep(0.005)
def write(f):
    for _ in range(64):          # 64 chunks of 16 KiB, with pauses: writes overlap
        f.write(tag * 16384)
        f.flush()
        time.sleep(0.001)
for _ in range(rounds):
    export._write_atomically(target, write, "wb")
"""


def test_two_processes_writing_one_target_leave_one_whole_write(folder):
    target = folder / "out.bin"
    go = folder / "go"
    code = textwrap.dedent(SLOW_WRITER)
    env = child_env()
    procs = [subprocess.Popen([sys.executable, "-c", code, str(target), tag, "6", str(go)],
                              env=env, stderr=subprocess.PIPE)
             for tag in ("a", "b")]
    wholes = {b"a" * 2**20, b"b" * 2**20}
    torn = []
    go.touch()
    while any(p.poll() is None for p in procs):
        if target.exists():
            content = target.read_bytes()
            if content not in wholes:
                torn.append(content[:20])
    errors = [p.stderr.read().decode() for p in procs]
    assert [p.returncode for p in procs] == [0, 0], errors
    assert torn == []
    assert target.read_bytes() in wholes
    assert temporaries(folder) == []


KILLED_WRITER = """
import sys, time
from kelvane import export
def write(f):
    f.write(b"half of the new content")
    f.flush()
    print("writing", flush=True)
    time.sleep(600)
export._write_atomically(sys.argv[1], write, "wb")
"""


def test_a_killed_writer_leaves_the_earlier_file_and_a_later_write_clears_its_temporary(folder):
    target = folder / "out.bin"
    target.write_bytes(b"earlier")
    other = folder / ".kelvane-tmp-not-ours"  # a folder of the same prefix is left alone
    other.mkdir()
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_WRITER), str(target)],
                             stdout=subprocess.PIPE, env=child_env())
    try:
        assert child.stdout.readline() == b"writing\n"
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert target.read_bytes() == b"earlier"
    [left] = [n for n in temporaries(folder) if n != other.name]
    assert (folder / left).read_bytes() == b"half of the new content"

    # a young temporary may be a writer at work: kept
    write_text(folder / "another.txt", "x")
    assert left in temporaries(folder)
    # once more than an hour old, the next write in the folder removes it
    old = time.time() - 3700
    os.utime(folder / left, (old, old))
    os.utime(other, (old, old))
    unrelated = folder / "notes.tmp"
    unrelated.write_text("mine")
    os.utime(unrelated, (old, old))
    write_text(folder / "another.txt", "y")
    assert temporaries(folder) == [other.name]
    assert unrelated.read_text() == "mine" and target.read_bytes() == b"earlier"
