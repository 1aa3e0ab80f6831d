"""The family registry: one private directory per QPU family on a shared file system.

Layout of ``<root>/<family name>/`` (directory mode 0700, files 0600):

- ``token``        the family's secret; QPU servers read it at start
- ``family.json``  what a process other than the one that raised the family
                   needs to use it: launcher, job id, size
- ``qpu-<i>.json`` written by QPU server i once it listens: host, port, pid, index
- logs of the servers or of the SLURM job

Every file is written to a temporary name and renamed into place, so a reader
on another node sees either nothing or the whole file. Files and directories
that are not owned by us or are open to other users are refused: the token
must stay private, and a planted registry entry must not redirect our circuits.
"""

import json
import os
import re
import secrets
import shutil
import stat
from pathlib import Path

from .errors import FamilyError

_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,127}")
TOKEN_FILE = "token"
FAMILY_FILE = "family.json"


def registry_root():
    configured = os.environ.get("MORVANE_CUNQA_REGISTRY")
    if configured:
        return Path(configured).expanduser()
    return Path.home() / ".cache" / "morvane" / "cunqa"


def check_family_name(name):
    if not isinstance(name, str):
        raise TypeError(f"family_name must be str, got {type(name).__name__}")
    if not _NAME.fullmatch(name):
        raise ValueError(
            f"family_name must be 1 to 128 characters from ASCII letters, digits, "
            f"'.', '_' and '-', starting with a letter or digit, got {name!r}"
        )
    return name


def family_dir(name):
    return registry_root() / name


def qpu_file(directory, index):
    return Path(directory) / f"qpu-{index}.json"


def _check_private(st, path, kind):
    if stat.S_ISLNK(st.st_mode):
        raise FamilyError(f"registry {kind} {path} is a symbolic link; refusing to use it")
    if st.st_uid != os.geteuid():
        raise FamilyError(f"registry {kind} {path} is not owned by this user; refusing to use it")
    if st.st_mode & 0o077:
        raise FamilyError(
            f"registry {kind} {path} is accessible to other users "
            f"(mode {stat.S_IMODE(st.st_mode):04o}); refusing to use it"
        )


def _reason(exc, path):
    """An OSError's reason, naming the path it was about when that is not ``path`` itself."""
    reason = exc.strerror or str(exc)
    if exc.filename is not None and os.fspath(exc.filename) != os.fspath(path):
        reason += f": {os.fspath(exc.filename)}"
    return reason


def ensure_root():
    """Create the registry root (0700) if needed and check that nobody else can change it.

    The root may be a symbolic link (to a shared file system, typically) and
    readable by others: it only lists family names. Writable by others it is
    not, or someone could swap a family's directory for their own. A root that
    cannot be created or read is a FamilyError that names it.
    """
    root = registry_root()
    try:
        root.mkdir(mode=0o700, parents=True, exist_ok=True)
        st = os.stat(root)
    except OSError as exc:
        raise FamilyError(
            f"cannot use registry directory {root} for QPU families: {_reason(exc, root)}; "
            f"set MORVANE_CUNQA_REGISTRY to a directory this user can create and write"
        ) from exc
    if st.st_uid != os.geteuid():
        raise FamilyError(f"registry directory {root} is not owned by this user; refusing to use it")
    if st.st_mode & 0o022:
        raise FamilyError(
            f"registry directory {root} is writable by other users "
            f"(mode {stat.S_IMODE(st.st_mode):04o}); refusing to use it"
        )
    return root


def create_family_dir(name):
    """Create the family's directory; FamilyError if the family is already registered."""
    ensure_root()
    directory = family_dir(name)
    try:
        os.mkdir(directory, 0o700)
    except FileExistsError:
        raise FamilyError(
            f"a QPU family named '{name}' is already registered in {directory}; "
            f"disconnect it first or choose another family_name"
        ) from None
    except OSError as exc:
        raise FamilyError(
            f"cannot create directory {directory} in the QPU family registry: {_reason(exc, directory)}"
        ) from exc
    # mkdir honours the umask, which can only remove bits; make the mode exact.
    os.chmod(directory, 0o700)
    return directory


def check_family_dir(directory):
    _check_private(os.lstat(directory), directory, "directory")


def write_private(path, data):
    """Write ``data`` (bytes or str) to ``path`` atomically with mode 0600.

    A file that cannot be written is a FamilyError that names it.
    """
    path = Path(path)
    if isinstance(data, str):
        data = data.encode()
    try:
        _write_private(path, data)
    except OSError as exc:
        raise FamilyError(f"cannot write registry file {path}: {exc.strerror or exc}") from exc


def _write_private(path, data):
    tmp = path.with_name(f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def read_private(path):
    """The bytes of a registry file, after checking it is a private regular file of ours."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    with os.fdopen(fd, "rb") as handle:
        st = os.fstat(handle.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise FamilyError(f"registry file {path} is not a regular file")
        _check_private(st, path, "file")
        return handle.read()


def write_json(path, value):
    write_private(path, json.dumps(value, sort_keys=True) + "\n")


def read_json(path):
    return json.loads(read_private(path))


def new_token():
    return secrets.token_hex(32)


def read_token(directory):
    token = read_private(Path(directory) / TOKEN_FILE).decode().strip()
    if not token:
        raise FamilyError(f"registry token file in {directory} is empty")
    return token


def read_qpu_entries(directory):
    """The QPU entries registered so far, by index; unreadable or partial entries are skipped."""
    entries = {}
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return entries
    for name in names:
        if not (name.startswith("qpu-") and name.endswith(".json")):
            continue
        try:
            entry = read_json(Path(directory) / name)
            index, host, port, pid = entry["index"], entry["host"], entry["port"], entry["pid"]
        except (OSError, ValueError, KeyError, TypeError, FamilyError):
            continue
        if (
            isinstance(index, int) and isinstance(host, str) and isinstance(port, int)
            and isinstance(pid, int) and name == f"qpu-{index}.json"
        ):
            entries[index] = entry
    return entries


def remove_family_dir(directory):
    shutil.rmtree(directory)


def tail(path, limit=2000):
    """The last ``limit`` characters of a log file, for error messages; '' if unreadable."""
    try:
        with open(path, "rb") as handle:
            handle.seek(0, os.SEEK_END)
            size = handle.tell()
            handle.seek(max(0, size - limit))
            return handle.read().decode(errors="replace").strip()
    except OSError:
        return ""
