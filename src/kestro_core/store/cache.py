"""The on-disk cache of downloaded videos and spoken narrations.

A rerun after a failure, or a second job over the same video, takes what an
earlier job already fetched from here instead of from the network or the speech
engine.  Layout under the root::

    downloads/<key>/data     the video; usually a hard link to a job's source video
    downloads/<key>/meta     JSON: size, modification time, sampled fingerprint
    narrations/<key>/data    one spoken narration
    narrations/<key>/meta    JSON: size and sha256
    narrations/<key>/words   JSON: when each word is spoken, and the sha256 it belongs to
    encodes/<key>/data       one range of a source encoded for exact joins (a clip)
    encodes/<key>/meta       JSON: as for a download
    memo/<name>              small memo files kept by other modules

An entry is built in a hidden temp directory (``.tmp-*``) beside its final
place and renamed into place in one step, so a reader sees a whole entry or
none, and a job killed half-way leaves only a temp directory that a later
``evict`` or ``clear`` sweeps up.  When two jobs build the same entry at once
the first rename wins and the other job's copy is dropped.  Entries that fail
their checks are renamed aside (``.trash-*``) and deleted.

The last-use time of an entry is the mtime of its ``meta`` file, set
explicitly on every hit; access times are never relied on.

Any failure to write the cache turns the cache off for the Cache object that
met it, with one warning, and the job carries on without it.  The warning goes to
the ``warn`` the Cache was made with (a job's: one of its events), else to the
"kestro_core" logger.
"""

from __future__ import annotations

import errno
import hashlib
import json
import logging
import os
import re
import secrets
import shutil
import stat
import tempfile
import threading
import time
from collections.abc import Callable
from contextlib import suppress
from typing import Any, Final, NamedTuple

from kestro_core.store.files import place, write_beside

__all__ = ["Cache", "DEFAULT_LIMIT", "default_cache_dir"]

DEFAULT_LIMIT: Final = 10 * 1024**3

_DOWNLOADS: Final = "downloads"
_NARRATIONS: Final = "narrations"
_ENCODES: Final = "encodes"
_KINDS: Final = (_DOWNLOADS, _NARRATIONS)
# every kind, in the order evict gives them up: an encode is made again from its source
_ALL_KINDS: Final = (_ENCODES, _DOWNLOADS, _NARRATIONS)
_MEMO: Final = "memo"
_DATA: Final = "data"
_META: Final = "meta"
_WORDS: Final = "words"
_WORDS_MAX: Final = 1 << 20
_TMP_PREFIX: Final = ".tmp-"
_TRASH_PREFIX: Final = ".trash-"
_FORMAT: Final = 1
# a temp directory untouched for this long belongs to a job that died
_STALE_NS: Final = 3600 * 10**9
_CHUNK: Final = 1 << 20
# bytes read at each of the three places a download's fingerprint samples
_SAMPLE: Final = 1 << 20
_META_MAX: Final = 4096
_KEY_RE: Final = re.compile(r"[0-9a-f]{64}\Z")
_MEMO_RE: Final = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}\Z")
# O_NONBLOCK: a FIFO planted where a file should be must not hang the job
_READ_FLAGS: Final = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK
_NEW_FILE_FLAGS: Final = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
# rename() of a directory onto a place that is taken
_TAKEN: Final = frozenset({errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR})


def default_cache_dir() -> str:
    """Where the cache lives unless told otherwise.

    ``$XDG_CACHE_HOME/kestro_core`` when XDG_CACHE_HOME is set to an absolute
    path, else ``~/.cache/kestro_core``.
    """
    xdg = os.environ.get("XDG_CACHE_HOME", "")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "kestro_core")
    return os.path.join(os.path.expanduser("~"), ".cache", "kestro_core")


def _logged(message: str) -> None:
    """A warning nobody else takes: logged (with logging not set up, Python writes its
    text to stderr)."""
    logging.getLogger("kestro_core").warning(message)


class _SourceError(Exception):
    """Reading the caller's own file failed (as opposed to writing the cache)."""

    def __init__(self, exc: OSError) -> None:
        super().__init__(str(exc))
        self.exc = exc


class _Entry(NamedTuple):
    stamp: int  # last use, ns
    name: str
    size: int  # bytes of data
    path: str
    st: os.stat_result


def _check_key(key: str) -> None:
    if not isinstance(key, str) or not _KEY_RE.match(key):
        raise ValueError(
            f"not a cache key: {key!r} (make one with Cache.narration_key or Cache.download_key)"
        )


def _pread_upto(fd: int, size: int, offset: int) -> bytes:
    """Up to ``size`` bytes at ``offset``; fewer only at end of file."""
    parts: list[bytes] = []
    while size > 0:
        chunk = os.pread(fd, min(size, _CHUNK), offset)
        if not chunk:
            break
        parts.append(chunk)
        size -= len(chunk)
        offset += len(chunk)
    return b"".join(parts)


def _sha256_fd(fd: int) -> str:
    digest = hashlib.sha256()
    offset = 0
    while chunk := os.pread(fd, _CHUNK, offset):
        digest.update(chunk)
        offset += len(chunk)
    return digest.hexdigest()


def _fingerprint_fd(fd: int, size: int) -> str:
    """A digest of the size and of 1 MiB at the start, middle and end: cheap
    enough for a video of several GB on every hit, and it changes when the
    file is cut short or rewritten."""
    digest = hashlib.sha256(b"kestro-sample\0" + size.to_bytes(8, "big"))
    for offset in sorted({0, max(0, size // 2 - _SAMPLE // 2), max(0, size - _SAMPLE)}):
        digest.update(offset.to_bytes(8, "big"))
        digest.update(_pread_upto(fd, _SAMPLE, offset))
    return digest.hexdigest()


def _describe(kind: str, fd: int) -> dict[str, Any]:
    """The facts about an entry's data that a later hit checks again."""
    st = os.fstat(fd)
    if kind == _NARRATIONS:
        return {"size": st.st_size, "sha256": _sha256_fd(fd)}
    # downloads and encodes: videos of up to several GB
    return {
        "size": st.st_size,
        "mtime_ns": st.st_mtime_ns,
        "fingerprint": _fingerprint_fd(fd, st.st_size),
    }


def _read_meta(path: str) -> dict[str, Any]:
    fd = os.open(path, _READ_FLAGS)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError("metadata is not a regular file")
        raw = _pread_upto(fd, _META_MAX + 1, 0)
    finally:
        os.close(fd)
    if len(raw) > _META_MAX:
        raise ValueError("metadata too large")
    meta = json.loads(raw)
    if not isinstance(meta, dict):
        raise ValueError("metadata is not an object")
    return meta


def _write_new(path: str, payload: bytes) -> None:
    fd = os.open(path, _NEW_FILE_FLAGS, 0o666)
    try:
        view = memoryview(payload)
        while view:
            view = view[os.write(fd, view) :]
        os.fsync(fd)
    finally:
        os.close(fd)


def _copy_fd(src: int, dest: str, sync: bool) -> None:
    """Copy the open file ``src`` to the new file ``dest``; read errors come
    out as _SourceError, write errors as OSError."""
    out = os.open(dest, _NEW_FILE_FLAGS, 0o666)
    try:
        offset = 0
        while True:
            try:
                chunk = os.pread(src, _CHUNK, offset)
            except OSError as exc:
                raise _SourceError(exc) from exc
            if not chunk:
                break
            offset += len(chunk)
            view = memoryview(chunk)
            while view:
                view = view[os.write(out, view) :]
        if sync:
            os.fsync(out)
    finally:
        os.close(out)


def _remove(path: str) -> None:
    """Remove a file or a whole directory without following symlinks; a path
    that is already gone is fine."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return
    if stat.S_ISDIR(st.st_mode):

        def gone_is_fine(_func: Callable[..., Any], _path: str, exc: BaseException) -> None:
            if not isinstance(exc, FileNotFoundError):
                raise exc

        shutil.rmtree(path, onexc=gone_is_fine)
    else:
        with suppress(FileNotFoundError):
            os.unlink(path)


def _newest_ns(path: str) -> int:
    """The latest mtime of a directory and its direct children."""
    newest = os.lstat(path).st_mtime_ns
    with os.scandir(path) as it:
        for child in it:
            with suppress(OSError):
                newest = max(newest, child.stat(follow_symlinks=False).st_mtime_ns)
    return newest


class Cache:
    """Downloads and narrations kept between jobs, keyed by sha256.

    ``root`` defaults to :func:`default_cache_dir`.  ``limit`` is the number
    of bytes of cached data that :meth:`evict` keeps the cache under.  With
    ``enabled=False`` every call is a miss or does nothing and nothing is
    created.  ``warn`` receives the one warning line written when the cache
    cannot be written (it then turns itself off for this object).
    """

    root: str
    limit: int
    enabled: bool

    def __init__(
        self,
        root: str | None = None,
        limit: int = DEFAULT_LIMIT,
        enabled: bool = True,
        warn: Callable[[str], object] = _logged,
    ) -> None:
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 0:
            raise ValueError(f"cache limit must be a whole number of bytes >= 0, not {limit!r}")
        self.root = os.path.abspath(root if root is not None else default_cache_dir())
        self.limit = limit
        self.enabled = bool(enabled)
        self._warn = warn
        self._lock = threading.Lock()
        if self.enabled:
            try:
                for kind in _KINDS:
                    self._dir(kind, create=True)
            except OSError as exc:
                self._fail(exc)

    # -- keys ---------------------------------------------------------------

    @staticmethod
    def narration_key(identity: str, text: str) -> str:
        """The key of ``text`` spoken by the voice ``identity`` (engine, voice,
        settings): each part is length-prefixed, so no two pairs share a key."""
        digest = hashlib.sha256(b"kestro-narration\0")
        for part in (identity, text):
            raw = part.encode("utf-8", "surrogatepass")
            digest.update(len(raw).to_bytes(8, "big"))
            digest.update(raw)
        return digest.hexdigest()

    @staticmethod
    def download_key(link: str) -> str:
        """The key of a download: sha256 of the exact link text."""
        return hashlib.sha256(link.encode("utf-8", "surrogatepass")).hexdigest()

    # -- entries ------------------------------------------------------------

    def get_narration(self, key: str) -> str | None:
        """The path of the cached narration ``key``, or None on a miss.  A hit
        is marked used; a damaged entry is removed and reported as a miss."""
        return self._get(_NARRATIONS, key)

    def put_narration(self, key: str, path: str) -> str | None:
        """Store the narration file at ``path`` under ``key`` (hard-linked where
        possible, else copied); returns the entry's path, or None when it
        could not be stored.  ``path`` itself is only read."""
        return self._put(_NARRATIONS, key, path)

    def get_words(self, key: str) -> dict[str, Any] | None:
        """What ``put_words`` kept with the cached narration ``key``; None when there is
        none, or it belongs to other data than the entry now holds."""
        _check_key(key)
        if not self.enabled:
            return None
        entry = os.path.join(self.root, _NARRATIONS, key)
        try:
            meta = _read_meta(os.path.join(entry, _META))
            fd = os.open(os.path.join(entry, _WORDS), _READ_FLAGS)
            try:
                raw = _pread_upto(fd, _WORDS_MAX + 1, 0)
            finally:
                os.close(fd)
            doc = json.loads(raw) if len(raw) <= _WORDS_MAX else None
        except (OSError, ValueError, RecursionError):
            return None
        if not isinstance(doc, dict) or doc.get("sha256") != meta.get("sha256"):
            return None
        return doc

    def put_words(self, key: str, doc: dict[str, Any]) -> None:
        """Keep the JSON object ``doc`` with the cached narration ``key`` (nothing when it
        is not cached); tied to the entry's data, replaced whole or not at all."""
        _check_key(key)
        if not self.enabled:
            return
        entry = os.path.join(self.root, _NARRATIONS, key)
        try:
            meta = _read_meta(os.path.join(entry, _META))
        except (OSError, ValueError):
            return
        payload = json.dumps({**doc, "sha256": meta.get("sha256")}).encode()
        try:
            write_beside(os.path.join(entry, _WORDS), lambda tmp: _write_new(tmp, payload))
        except FileNotFoundError:
            pass  # the entry went since it was looked at
        except OSError as exc:
            self._fail(exc)

    def get_download(self, key: str) -> str | None:
        """The path of the cached download ``key``, or None on a miss (see
        :meth:`get_narration`)."""
        return self._get(_DOWNLOADS, key)

    def put_download(self, key: str, path: str) -> str | None:
        """Store the downloaded file at ``path`` under ``key`` (see
        :meth:`put_narration`)."""
        return self._put(_DOWNLOADS, key, path)

    def get_encode(self, key: str) -> str | None:
        """The path of the cached exact-joins encode ``key``, or None on a miss (see
        :meth:`get_narration`)."""
        return self._get(_ENCODES, key)

    def put_encode(self, key: str, path: str) -> str | None:
        """Store the encode at ``path`` under ``key`` (see :meth:`put_narration`)."""
        return self._put(_ENCODES, key, path)

    def encode_dir(self) -> str | None:
        """A directory inside the cache to make an encode in (on the cache's file system,
        so that storing it is a rename), or None when the cache is off."""
        if not self.enabled:
            return None
        try:
            return self._dir(_ENCODES, create=True)
        except OSError as exc:
            self._fail(exc)
            return None

    def link_out(self, entry: str, dest: str) -> None:
        """Place the cache entry ``entry`` (a path from a get or put) at ``dest``.

        Hard-links it to a temp name beside ``dest`` (copies it when linking
        fails) and renames that onto ``dest``; ``dest`` is never opened for
        writing, so a file it was a hard link of is left as it was.  Raises
        OSError when ``dest`` cannot be written or the entry has gone since
        it was looked up (another job's evict or clear).
        """
        self._check_entry_path(entry)
        place(entry, dest)

    def memo_path(self, name: str) -> str | None:
        """A path for the small memo file ``name`` inside the cache, or None
        when the cache is off.  The caller writes it (atomically, please)."""
        if not isinstance(name, str) or not _MEMO_RE.match(name):
            raise ValueError(f"not a memo name: {name!r} (letters, digits, '.', '_', '-')")
        if not self.enabled:
            return None
        try:
            directory = self._dir(_MEMO, create=True)
        except OSError as exc:
            self._fail(exc)
            return None
        assert directory is not None
        return os.path.join(directory, name)

    # -- housekeeping -------------------------------------------------------

    def evict(self) -> list[str]:
        """Bring the cache under ``limit`` bytes: removes least recently used
        encodes first, then downloads, then narrations, and sweeps temp
        directories left by dead jobs.  Returns the entry directories removed."""
        if not self.enabled:
            return []
        try:
            self._sweep(_ALL_KINDS)
            listed = {kind: sorted(self._entries(kind)) for kind in _ALL_KINDS}
        except OSError as exc:
            self._fail(exc)
            return []
        total = sum(e.size for entries in listed.values() for e in entries)
        removed: list[str] = []
        for kind in _ALL_KINDS:
            for entry in listed[kind]:
                if total <= self.limit:
                    return removed
                if not self._discard(entry.path, entry.st):
                    return removed
                total -= entry.size
                removed.append(entry.path)
        return removed

    def usage(self) -> dict[str, tuple[int, int]]:
        """``{"downloads": (count, bytes), "narrations": (count, bytes)}``,
        plus ``"encodes"`` when there are any; bytes are those of the cached
        data (metadata is not counted)."""
        result: dict[str, tuple[int, int]] = {}
        for kind in _ALL_KINDS:
            entries: list[_Entry] = []
            if self.enabled:
                try:
                    entries = self._entries(kind)
                except OSError as exc:  # e.g. a regular file where a directory should be
                    self._warn(f"kestro_core: the cache at {self.root} cannot be read ({exc})")
                    self.enabled = False
            if kind in _KINDS or entries:
                result[kind] = (len(entries), sum(e.size for e in entries))
        return result

    def clear(
        self, downloads: bool = True, narrations: bool = True, encodes: bool | None = None
    ) -> int:
        """Remove every entry of the chosen kinds (and temp directories left
        by dead jobs); returns the bytes of data freed.  Files under the root
        that are not cache entries are left alone.  ``encodes`` None: cleared
        when both other kinds are."""
        if not self.enabled:
            return 0
        if encodes is None:
            encodes = downloads and narrations
        chosen = ((_ENCODES, encodes), (_DOWNLOADS, downloads), (_NARRATIONS, narrations))
        kinds = tuple(k for k, wanted in chosen if wanted)
        try:
            self._sweep(kinds)
            entries = [e for kind in kinds for e in self._entries(kind)]
        except OSError as exc:
            self._fail(exc)
            return 0
        freed = 0
        for entry in entries:
            if not self._discard(entry.path, entry.st):
                break
            freed += entry.size
        return freed

    # -- internals ----------------------------------------------------------

    def _fail(self, exc: BaseException) -> None:
        """Turn the cache off for this object, warning once."""
        reason = (exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)) or type(
            exc
        ).__name__
        with self._lock:
            if not self.enabled:
                return
            self.enabled = False
        self._warn(
            f"kestro_core: the cache at {self.root} cannot be written ({reason}); "
            "this job runs without it"
        )

    def _dir(self, name: str, create: bool) -> str | None:
        """``root/name`` if it is a plain directory (None if it is missing and
        ``create`` is false); raises OSError when it cannot be used."""
        path = os.path.join(self.root, name)
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            if not create:
                return None
            os.makedirs(self.root, mode=0o700, exist_ok=True)
            with suppress(FileExistsError):
                os.mkdir(path, 0o700)
            st = os.lstat(path)
        if not stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, f"{path} is not a plain directory", path)
        if create and not os.access(path, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        return path

    def _check_entry_path(self, entry: str) -> None:
        real = os.path.realpath(entry)
        parts = os.path.relpath(real, os.path.realpath(self.root)).split(os.sep)
        if (
            len(parts) != 3
            or parts[0] not in _ALL_KINDS
            or not _KEY_RE.match(parts[1])
            or parts[2] != _DATA
        ):
            raise ValueError(f"{entry} is not an entry of the cache at {self.root}")

    def _get(self, kind: str, key: str) -> str | None:
        _check_key(key)
        if not self.enabled:
            return None
        try:
            directory = self._dir(kind, create=False)
        except OSError:
            return None
        if directory is None:
            return None
        entry = os.path.join(directory, key)
        try:
            st = os.lstat(entry)
        except OSError:
            return None
        if stat.S_ISDIR(st.st_mode) and self._valid(kind, key, entry):
            now = time.time_ns()
            with suppress(OSError):
                os.utime(os.path.join(entry, _META), ns=(now, now), follow_symlinks=False)
            return os.path.join(entry, _DATA)
        self._discard(entry, st)
        return None

    @staticmethod
    def _valid(kind: str, key: str, entry: str) -> bool:
        try:
            meta = _read_meta(os.path.join(entry, _META))
            fd = os.open(os.path.join(entry, _DATA), _READ_FLAGS)
        except (OSError, ValueError):
            return False
        try:
            st = os.fstat(fd)
            if (
                meta.get("format") != _FORMAT
                or meta.get("kind") != kind
                or meta.get("key") != key
                or not stat.S_ISREG(st.st_mode)
                or meta.get("size") != st.st_size
            ):
                return False
            if kind != _NARRATIONS and meta.get("mtime_ns") != st.st_mtime_ns:
                return False
            now = _describe(kind, fd)
            return all(meta.get(field) == value for field, value in now.items())
        except OSError:
            return False
        finally:
            os.close(fd)

    def _put(self, kind: str, key: str, path: str) -> str | None:
        _check_key(key)
        if not self.enabled:
            return None
        try:
            src = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        except OSError as exc:
            self._not_cached(path, exc.strerror or str(exc))
            return None
        try:
            if not stat.S_ISREG(os.fstat(src).st_mode):
                self._not_cached(path, "not a regular file")
                return None
            return self._build(kind, key, path, src)
        except _SourceError as err:
            self._not_cached(path, err.exc.strerror or str(err.exc))
            return None
        except OSError as exc:
            self._fail(exc)
            return None
        finally:
            os.close(src)

    def _not_cached(self, path: str, reason: str) -> None:
        self._warn(
            f"kestro_core: {path} was not cached ({reason}); "
            "the job goes on and will fetch it again next time"
        )

    def _build(self, kind: str, key: str, path: str, src: int) -> str | None:
        directory = self._dir(kind, create=True)
        assert directory is not None
        entry = os.path.join(directory, key)
        for _ in range(3):
            tmp: str | None = tempfile.mkdtemp(prefix=f"{_TMP_PREFIX}{key}-", dir=directory)
            try:
                assert tmp is not None
                data = os.path.join(tmp, _DATA)
                try:
                    os.link(path, data)
                except OSError:
                    _copy_fd(src, data, sync=True)
                fd = os.open(data, _READ_FLAGS)
                try:
                    facts = _describe(kind, fd)
                finally:
                    os.close(fd)
                meta = os.path.join(tmp, _META)
                _write_new(
                    meta,
                    json.dumps({"format": _FORMAT, "kind": kind, "key": key, **facts}).encode(),
                )
                now = time.time_ns()
                os.utime(meta, ns=(now, now))
                try:
                    os.rename(tmp, entry)
                    tmp = None
                    return os.path.join(entry, _DATA)
                except OSError as exc:
                    if exc.errno not in _TAKEN:
                        raise
            finally:
                if tmp is not None:
                    with suppress(OSError):
                        _remove(tmp)
            # another job stored this key first: keep theirs if it is sound
            found = self._get(kind, key)
            if found is not None or not self.enabled:
                return found
        return None

    def _discard(self, entry: str, seen: os.stat_result) -> bool:
        """Remove the entry that was ``seen`` at ``entry``; False when the
        cache could not be written (it is then off)."""
        trash = os.path.join(os.path.dirname(entry), f"{_TRASH_PREFIX}{secrets.token_hex(8)}")
        try:
            os.rename(entry, trash)
        except FileNotFoundError:
            return True
        except OSError as exc:
            self._fail(exc)
            return False
        try:
            now = os.lstat(trash)
            if (now.st_ino, now.st_dev) != (seen.st_ino, seen.st_dev):
                # another job put a fresh entry there since we looked: give it back
                try:
                    os.rename(trash, entry)
                    return True
                except OSError:
                    pass
            _remove(trash)
        except OSError as exc:
            self._fail(exc)
            return False
        return True

    def _entries(self, kind: str) -> list[_Entry]:
        directory = self._dir(kind, create=False)
        if directory is None:
            return []
        found: list[_Entry] = []
        for name in os.listdir(directory):
            if not _KEY_RE.match(name):
                continue
            path = os.path.join(directory, name)
            try:
                st = os.lstat(path)
            except FileNotFoundError:
                continue
            stamp = size = 0
            if stat.S_ISDIR(st.st_mode):
                with suppress(OSError):
                    stamp = os.lstat(os.path.join(path, _META)).st_mtime_ns
                with suppress(OSError):
                    size = os.lstat(os.path.join(path, _DATA)).st_size
            found.append(_Entry(stamp, name, size, path, st))
        return found

    def _sweep(self, kinds: tuple[str, ...]) -> None:
        """Remove trash and temp directories that dead jobs left behind."""
        cutoff = time.time_ns() - _STALE_NS
        for kind in kinds:
            directory = self._dir(kind, create=False)
            if directory is None:
                continue
            for name in os.listdir(directory):
                path = os.path.join(directory, name)
                with suppress(OSError):
                    if name.startswith(_TRASH_PREFIX) or (
                        name.startswith(_TMP_PREFIX) and _newest_ns(path) < cutoff
                    ):
                        _remove(path)
