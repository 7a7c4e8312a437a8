"""The on-disk cache of downloads and narrations (kestro_core.store.cache)."""

import os
import pathlib
import subprocess
import threading

import pytest

from kestro_core.store.cache import Cache, default_cache_dir

KINDS = ["downloads", "narrations"]


def put(cache, kind, key, path):
    return getattr(cache, f"put_{kind[:-1]}")(key, str(path))


def get(cache, kind, key):
    return getattr(cache, f"get_{kind[:-1]}")(key)


def key(n):
    return Cache.download_key(f"https://example.invalid/{n}")


@pytest.fixture
def warnings():
    return []


@pytest.fixture
def cache(tmp_path, warnings):
    return Cache(str(tmp_path / "cache"), warn=warnings.append)


def source(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def leftovers(root, kind):
    return sorted(p.name for p in (pathlib.Path(root) / kind).iterdir())


@pytest.mark.parametrize(
    "xdg, expected",
    [
        ("/x/cache", "/x/cache/kestro_core"),
        ("relative/cache", "~/.cache/kestro_core"),
        (None, "~/.cache/kestro_core"),
    ],
)
def test_default_cache_dir(monkeypatch, xdg, expected):
    if xdg is None:
        monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    else:
        monkeypatch.setenv("XDG_CACHE_HOME", xdg)
    assert default_cache_dir() == os.path.expanduser(expected)


@pytest.mark.parametrize("a, b", [(("ab", "c"), ("a", "bc")), (("v", ""), ("", "v"))])
def test_narration_keys_are_unambiguous(a, b):
    assert Cache.narration_key(*a) != Cache.narration_key(*b)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("linking", [True, False], ids=["hard-link", "copy"])
def test_round_trip(tmp_path, cache, monkeypatch, kind, linking):
    src = source(tmp_path, "src", b"payload" * 100)
    # dest is a hard link to someone's file: it is replaced, never written through
    precious = source(tmp_path, "precious", b"keep me")
    dest = tmp_path / "out" / "movie.mp4"
    dest.parent.mkdir()
    os.link(precious, dest)
    if not linking:

        def refuse(*args, **kwargs):
            raise OSError(1, "links refused")

        monkeypatch.setattr(os, "link", refuse)
    entry = put(cache, kind, key(1), src)
    assert entry is not None and get(cache, kind, key(1)) == entry
    assert os.path.samefile(entry, src) is linking
    cache.link_out(entry, str(dest))
    assert dest.read_bytes() == src.read_bytes() and precious.read_bytes() == b"keep me"
    assert os.path.samefile(entry, dest) is linking
    assert sorted(os.listdir(dest.parent)) == ["movie.mp4"]
    cache.link_out(entry, str(dest))  # again (linked: rename of one file onto itself)
    assert sorted(os.listdir(dest.parent)) == ["movie.mp4"]
    assert src.read_bytes() == b"payload" * 100 and cache.enabled


def _fifo(data):
    os.unlink(data)
    os.mkfifo(data)


def _same_size_rewrite(data):
    st = os.stat(data)
    with open(data, "r+b") as f:
        f.write(b"X")
    os.utime(data, ns=(st.st_atime_ns, st.st_mtime_ns))


DAMAGE = {
    "truncated": lambda data: os.truncate(data, 10),
    "meta-gone": lambda data: os.unlink(os.path.join(os.path.dirname(data), "meta")),
    "meta-garbage": lambda data: pathlib.Path(data).with_name("meta").write_text("{"),
    "data-gone": os.unlink,
    "data-unreadable": _fifo,
    "rewritten-in-place": _same_size_rewrite,
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("damage", DAMAGE)
def test_damaged_entry_is_a_miss_and_removed(tmp_path, cache, kind, damage):
    entry = put(cache, kind, key(1), source(tmp_path, "src", b"abc" * 1000))
    DAMAGE[damage](entry)
    assert get(cache, kind, key(1)) is None
    assert leftovers(cache.root, kind) == []
    assert put(cache, kind, key(1), tmp_path / "src") == entry  # and it can be stored again


def test_evict_downloads_first_least_recently_used_first(tmp_path, cache):
    for n in range(1, 5):
        kind = KINDS[n > 2]
        assert put(cache, kind, key(n), source(tmp_path, f"s{n}", bytes(100)))
    assert get(cache, "downloads", key(1)) and get(cache, "narrations", key(3))
    cache.limit = 150
    removed = cache.evict()
    root = pathlib.Path(cache.root)
    assert removed == [
        str(root / "downloads" / key(2)),
        str(root / "downloads" / key(1)),
        str(root / "narrations" / key(4)),
    ]
    assert get(cache, "narrations", key(3)) is not None
    assert cache.usage() == {"downloads": (0, 0), "narrations": (1, 100)}
    cache.limit = 100
    assert cache.evict() == []


def test_concurrent_puts_of_one_key_leave_one_valid_entry(tmp_path, cache):
    contents = [bytes([n]) * (1000 + n) for n in range(8)]
    paths = [source(tmp_path, f"s{n}", c) for n, c in enumerate(contents)]
    start = threading.Barrier(len(paths))
    results = []

    def worker(path):
        start.wait(timeout=10)
        results.append(cache.put_narration(key(1), str(path)))

    threads = [threading.Thread(target=worker, args=(p,)) for p in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=10)
    entry = cache.get_narration(key(1))
    assert entry is not None and set(results) == {entry}
    assert pathlib.Path(entry).read_bytes() in contents
    assert leftovers(cache.root, "narrations") == [key(1)]


def test_clear_by_kind_and_usage(tmp_path, cache):
    put(cache, "downloads", key(1), source(tmp_path, "d", bytes(300)))
    for n in (2, 3):
        put(cache, "narrations", key(n), source(tmp_path, f"n{n}", bytes(100)))
    unrelated = [
        pathlib.Path(cache.root) / "notes.txt",
        pathlib.Path(cache.root) / "narrations" / "x",
    ]
    for p in unrelated:
        p.write_text("mine")
    # temp directories of jobs: one dead long ago, one still writing
    for state in ("dead", "live"):
        temp = pathlib.Path(cache.root) / "narrations" / f".tmp-{key(9)}-{state}"
        temp.mkdir()
        (temp / "data").write_bytes(b"half")
    for p in (
        temp.with_name(f".tmp-{key(9)}-dead") / "data",
        temp.with_name(f".tmp-{key(9)}-dead"),
    ):
        os.utime(p, (0, 0))
    assert cache.usage() == {"downloads": (1, 300), "narrations": (2, 200)}
    assert cache.clear(downloads=False) == 200
    assert cache.usage() == {"downloads": (1, 300), "narrations": (0, 0)}
    assert get(cache, "downloads", key(1)) is not None
    assert cache.clear() == 300
    assert all(p.read_text() == "mine" for p in unrelated)
    assert leftovers(cache.root, "narrations") == [f".tmp-{key(9)}-live", "x"]


def no_op_calls(cache, src):
    return [
        cache.put_download(key(1), str(src)),
        cache.get_download(key(1)),
        cache.put_narration(key(2), str(src)),
        cache.get_narration(key(2)),
        cache.memo_path("voice-hash"),
        cache.evict(),
        cache.clear(),
        cache.usage()["downloads"],
    ]


NO_OPS = [None, None, None, None, None, [], 0, (0, 0)]


def test_unwritable_root_warns_once_and_turns_off(tmp_path, warnings):
    (tmp_path / "file").write_text("")
    root = tmp_path / "file" / "cache"
    cache = Cache(str(root), warn=warnings.append)
    assert no_op_calls(cache, source(tmp_path, "src", b"x")) == NO_OPS
    assert warnings == [
        f"kestro_core: the cache at {root} cannot be written "
        "(Not a directory); this job runs without it"
    ]
    assert not cache.enabled


def test_disabled_cache_creates_nothing(tmp_path, warnings):
    cache = Cache(str(tmp_path / "cache"), enabled=False, warn=warnings.append)
    assert no_op_calls(cache, source(tmp_path, "src", b"x")) == NO_OPS
    assert not (tmp_path / "cache").exists() and warnings == []


def test_unreadable_source_is_not_cached_but_cache_stays_on(tmp_path, cache, warnings):
    assert cache.put_download(key(1), str(tmp_path / "missing.mp4")) is None
    assert len(warnings) == 1 and "missing.mp4 was not cached" in warnings[0]
    assert cache.enabled


@pytest.fixture
def small_fs(tmp_path):
    mnt = tmp_path / "small"
    mnt.mkdir()
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mnt)],
        capture_output=True,
        text=True,
        timeout=10,
    )
    if done.returncode:
        pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip()}")
    yield mnt
    subprocess.run(["umount", str(mnt)], timeout=10, check=True)


def test_full_disk_warns_once_and_leaves_no_partial_entry(tmp_path, small_fs, warnings):
    cache = Cache(str(small_fs / "cache"), warn=warnings.append)
    big = source(tmp_path, "movie.mp4", os.urandom(2 * 1024 * 1024))  # other fs: copied
    assert cache.put_download(key(1), str(big)) is None
    assert leftovers(cache.root, "downloads") == []
    assert cache.put_narration(key(2), str(big)) is None and cache.get_download(key(1)) is None
    assert warnings == [
        f"kestro_core: the cache at {cache.root} cannot be written "
        "(No space left on device); this job runs without it"
    ]
    assert big.stat().st_size == 2 * 1024 * 1024
