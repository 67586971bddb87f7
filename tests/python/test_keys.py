import gc
import os
import pathlib
import re
import stat
import subprocess
import sys
import warnings

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

import tallyvox
from tallyvox import _tallyvox, events

SigningKeypair = _tallyvox.SigningKeypair
KeyLoadError = _tallyvox.KeyLoadError

# RFC 8032 section 7.1, TEST 1.
RFC_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC_PUBLIC = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


def public_hex(seed):
    """The public key of a seed, derived by an independent library."""
    key = Ed25519PrivateKey.from_private_bytes(seed).public_key()
    return key.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex()


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def write_key(path, seed):
    """A key file as save writes it: private to its owner."""
    path.write_bytes(seed)
    os.chmod(path, 0o600)


def test_generate_gives_distinct_lowercase_hex_keys_shown_in_repr():
    a, b = SigningKeypair.generate(), SigningKeypair.generate()
    for k in (a, b):
        assert re.fullmatch("[0-9a-f]{64}", k.pubkey_hex)
        assert repr(k) == str(k) == f"SigningKeypair(pubkey_hex='{k.pubkey_hex}')"
    assert a.pubkey_hex != b.pubkey_hex


@pytest.mark.parametrize(
    "as_arg",
    [str, pathlib.Path, lambda p: type("Custom", (), {"__fspath__": lambda self: str(p)})()],
    ids=["str", "pathlib", "fspath"],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_path_forms_load_the_seed_and_save_it_private(tmp_path, as_arg, by_keyword):
    target = tmp_path / "key"
    write_key(target, RFC_SEED)
    call = (lambda f, p: f(path=as_arg(p))) if by_keyword else (lambda f, p: f(as_arg(p)))
    assert call(SigningKeypair.load, target).pubkey_hex == RFC_PUBLIC
    again = call(SigningKeypair.load_or_create, target)
    assert again.pubkey_hex == RFC_PUBLIC and target.read_bytes() == RFC_SEED
    assert again != SigningKeypair.load(target)  # equality is identity, keys never compared
    # save over a wider file, and into directories not made yet
    other = tmp_path / "a" / "b" / "copy"
    other.parent.mkdir(parents=True)
    other.write_bytes(b"x" * 100)
    os.chmod(other, 0o644)
    k = SigningKeypair.generate()
    assert call(k.save, other) is None
    assert (len(other.read_bytes()), mode(other)) == (32, 0o600)
    assert public_hex(other.read_bytes()) == k.pubkey_hex
    call(k.save, tmp_path / "c" / "d" / "key")
    assert SigningKeypair.load(tmp_path / "c" / "d" / "key").pubkey_hex == k.pubkey_hex


BYTES_PATH = "'bytes' object is not an instance of 'str'"


@pytest.mark.parametrize("method", ["load", "load_or_create", "save"])
@pytest.mark.parametrize(
    "bad,message",
    [
        (b"key", BYTES_PATH),
        (type("B", (), {"__fspath__": lambda self: b"key"})(), BYTES_PATH),
        (42, None),  # refused by the path protocol itself
        (None, None),
    ],
    ids=["bytes", "fspath_bytes", "int", "none"],
)
def test_bad_paths_touch_no_file(raises_with_note, tmp_path, method, bad, message, monkeypatch):
    monkeypatch.chdir(tmp_path)
    target = SigningKeypair.generate() if method == "save" else SigningKeypair
    raises_with_note(TypeError, message, "path", getattr(target, method), bad)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: SigningKeypair.generate(1),
         "SigningKeypair.generate() takes 0 positional arguments but 1 was given"),
        (lambda: SigningKeypair.load(),
         "SigningKeypair.load() missing 1 required positional argument: 'path'"),
        (lambda: SigningKeypair.load_or_create(),
         "SigningKeypair.load_or_create() missing 1 required positional argument: 'path'"),
        (lambda: SigningKeypair.generate().save(file="x"),
         "SigningKeypair.save() got an unexpected keyword argument 'file'"),
    ],
)
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


@pytest.mark.parametrize("method,name,message", [
    ("load", "absent", "io: No such file or directory (os error 2)"),
    ("load", "k\0ey", "io: file name contained an unexpected NUL byte"),
    ("save", "dir", "io: Is a directory (os error 21)"),
])
def test_io_failures_are_key_load_errors(tmp_path, method, name, message):
    (tmp_path / "dir").mkdir()
    target = SigningKeypair.generate() if method == "save" else SigningKeypair
    with pytest.raises(KeyLoadError) as excinfo:
        getattr(target, method)(str(tmp_path / name))
    assert str(excinfo.value) == message
    assert isinstance(excinfo.value, _tallyvox.TallyvoxError)


@pytest.mark.parametrize("size", [0, 5, 31, 33, 64, 65])
@pytest.mark.parametrize("method", ["load", "load_or_create"])
def test_wrong_length_file(tmp_path, size, method):
    target = tmp_path / "key"
    content = os.urandom(size)
    target.write_bytes(content)
    with pytest.raises(KeyLoadError) as excinfo:
        getattr(SigningKeypair, method)(target)
    assert str(excinfo.value) == f"invalid key length: expected 32, got {size}"
    assert target.read_bytes() == content


# Each racer imports tallyvox once, then, for every path it reads, calls
# load_or_create at once and prints the public key or the error: the first
# creates the key (and its directory), the others load it.
RACER = """
import sys
import tallyvox
print("ready", flush=True)
for line in sys.stdin:
    try:
        print(tallyvox.SigningKeypair.load_or_create(line.strip()).pubkey_hex, flush=True)
    except Exception as e:
        print(f"{type(e).__name__}: {e}", flush=True)
"""


def test_processes_racing_load_or_create_all_get_the_key_on_disk(tmp_path, child_env):
    racers = [subprocess.Popen([sys.executable, "-c", RACER], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True, env=child_env())
              for _ in range(6)]
    try:
        assert all(p.stdout.readline() == "ready\n" for p in racers)
        for trial in range(12):
            target = tmp_path / f"t{trial}" / "key"
            for p in racers:
                p.stdin.write(f"{target}\n")
            for p in racers:
                p.stdin.flush()
            got = [p.stdout.readline().strip() for p in racers]
            assert got == [public_hex(target.read_bytes())] * 6, trial
            # Only the key is left: no temporary file survives.
            assert [x.name for x in target.parent.iterdir()] == ["key"]
            assert mode(target) == 0o600
    finally:
        for p in racers:
            p.stdin.close()
            p.wait(timeout=60)


def test_class_shape_and_docs():
    with pytest.raises(TypeError):
        SigningKeypair()
    with pytest.raises(TypeError):
        type("Sub", (SigningKeypair,), {})
    k = SigningKeypair.generate()
    with pytest.raises(AttributeError):
        k.pubkey_hex = "0" * 64
    with pytest.raises(AttributeError):
        k.extra = 1
    assert (SigningKeypair.__module__, SigningKeypair.__qualname__) == ("builtins",
                                                                        "SigningKeypair")
    assert _tallyvox.__all__[6:8] == ["SigningKeypair", "events"]
    docs = {name: (getattr(SigningKeypair, name).__text_signature__,
                   getattr(SigningKeypair, name).__doc__)
            for name in ("generate", "load", "load_or_create", "save")}
    assert docs == {
        "generate": ("()", "Generate a fresh Ed25519 keypair from the OS RNG."),
        "load": ("(path)", "Load a keypair from a 32-byte secret-key file."),
        "load_or_create": ("(path)",
                           "Load the keypair at `path`, or generate and persist one if absent."),
        "save": ("($self, path)", "Persist the 32-byte secret key to `path` (0600 on unix)."),
    }
    assert SigningKeypair.__dict__["pubkey_hex"].__doc__ == (
        "The 64-hex-character Ed25519 public key.")
    # The warning class is the package's, not the extension's.
    assert tallyvox.KeyPermissionWarning is _tallyvox._native.KeyPermissionWarning
    assert "KeyPermissionWarning" in tallyvox.__all__
    assert "KeyPermissionWarning" not in _tallyvox.__all__
    assert (tallyvox.KeyPermissionWarning.__module__,
            tallyvox.KeyPermissionWarning.__qualname__) == ("tallyvox", "KeyPermissionWarning")


def test_instances_hold_and_release_their_class():
    before = sys.getrefcount(SigningKeypair)
    keys = [SigningKeypair.generate() for _ in range(50)]
    assert sys.getrefcount(SigningKeypair) == before + 50
    del keys
    gc.collect()
    assert sys.getrefcount(SigningKeypair) == before


# --- saving atomically -------------------------------------------------------

# Saves a fresh key to argv[1] with the file size limited to argv[2] bytes
# (SIGXFSZ ignored, so a write past it fails with EFBIG instead of killing).
SAVE_UNDER_LIMIT = """
import resource, signal, sys
from tallyvox import _tallyvox, events
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), resource.RLIM_INFINITY))
try:
    _tallyvox.SigningKeypair.generate().save(sys.argv[1])
    print("saved")
except _tallyvox.KeyLoadError as e:
    print(e)
"""


@pytest.mark.parametrize("through", ["path", "relative link", "absolute link"])
def test_a_save_that_cannot_finish_keeps_the_old_key(tmp_path, child_env, through):
    real = tmp_path / "keys" / "agent.key"
    SigningKeypair.generate().save(real)
    before = real.read_bytes()
    target = real
    if through != "path":
        target = tmp_path / "link.key"
        target.symlink_to(real.relative_to(tmp_path) if through == "relative link" else real)

    def save(limit):
        run = subprocess.run([sys.executable, "-c", SAVE_UNDER_LIMIT, str(target), str(limit)],
                             capture_output=True, text=True, env=child_env(), timeout=60)
        assert run.stderr == ""
        return run.stdout.strip()

    for limit in (0, 1, 16, 31):
        assert save(limit) == "io: File too large (os error 27)", limit
        assert (real.read_bytes(), mode(real)) == (before, 0o600)
        assert [p.name for p in real.parent.iterdir()] == ["agent.key"]  # no temporary left
    assert save(1 << 20) == "saved"
    after = real.read_bytes()
    assert len(after) == 32 and after != before and mode(real) == 0o600
    assert target.is_symlink() == (through != "path")
    assert [p.name for p in real.parent.iterdir()] == ["agent.key"]
    assert SigningKeypair.load(target).pubkey_hex == public_hex(after)


# --- who may read the key ----------------------------------------------------

NOBODY = 65534


OPEN = "may be read or written by group or others (mode {mode}); "


@pytest.mark.parametrize("file_mode,owner,message", [
    (0o600, None, None),
    (0o400, None, None),
    (0o700, None, None),
    (0o644, None, "key file {p} " + OPEN.format(mode="0644") + "chmod 600 {p}"),
    (0o660, None, "key file {p} " + OPEN.format(mode="0660") + "chmod 600 {p}"),
    (0o602, None, "key file {p} " + OPEN.format(mode="0602") + "chmod 600 {p}"),
    (0o600, NOBODY, "key file {p} is owned by uid 65534, not by this user (uid {me}); "
                    "chown it to uid {me} and chmod 600 {p}"),
    (0o640, NOBODY, "key file {p} is owned by uid 65534, not by this user (uid {me}), and "
                    + OPEN.format(mode="0640") + "chown it to uid {me} and chmod 600 {p}"),
])
@pytest.mark.parametrize("method", ["load", "load_or_create"])
def test_a_key_others_may_reach_loads_with_a_warning(tmp_path, method, file_mode, owner, message):
    if owner is not None and os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    target = tmp_path / "it's.key"
    write_key(target, RFC_SEED)
    os.chmod(target, file_mode)
    if owner is not None:
        os.chown(target, owner, -1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert getattr(SigningKeypair, method)(target).pubkey_hex == RFC_PUBLIC
    if message is None:
        assert caught == []
        return
    [w] = caught
    assert w.category is tallyvox.KeyPermissionWarning
    assert issubclass(w.category, UserWarning)
    assert str(w.message) == message.format(p=repr(str(target)), me=os.geteuid())
    assert w.filename == __file__  # attributed to the caller
    # A filter that turns the warning into an error refuses the key.
    with warnings.catch_warnings():
        warnings.simplefilter("error", tallyvox.KeyPermissionWarning)
        with pytest.raises(tallyvox.KeyPermissionWarning):
            getattr(SigningKeypair, method)(target)


def test_commands_print_the_warning_on_one_line(tmp_path, child_env):
    key = tmp_path / "a\nb.key"  # a name that would break the line unquoted
    ledger = tmp_path / "l.ndjson"

    def run(*command):
        return subprocess.run([sys.executable, "-m", "tallyvox", *command],
                              capture_output=True, text=True, env=child_env(), timeout=60)

    fresh = run("keygen", str(key))
    assert (fresh.returncode, fresh.stderr) == (0, "")
    tallyvox.Session.open(keypair=tallyvox.SigningKeypair.load(key), ledger_path=ledger,
                          session_id="s").record(events.session_ended(reason="r", summary_sha256="s"))
    os.chmod(key, 0o664)
    warning = (f"tallyvox: warning: key file {str(key)!r} may be read or written by "
               f"group or others (mode 0664); chmod 600 {str(key)!r}\n")
    again = run("keygen", str(key))
    assert (again.returncode, again.stdout, again.stderr) == (0, fresh.stdout, warning)
    made = run("checkpoint", str(ledger), "--key", str(key), "-o", str(tmp_path / "c"))
    assert (made.returncode, made.stderr) == (0, warning)


@pytest.mark.parametrize("kind,text", [("fifo", "io: not a regular file (a FIFO)"),
                                       ("device", "io: not a regular file (a device)"),
                                       ("directory", "io: not a regular file (a directory)")])
def test_a_key_path_that_is_not_a_file_is_refused_without_reading(tmp_path, child_env, kind,
                                                                   text):
    target = {"fifo": tmp_path / "fifo", "device": pathlib.Path("/dev/zero"),
              "directory": tmp_path / "d"}[kind]
    {"fifo": os.mkfifo, "directory": os.mkdir}.get(kind, lambda _: None)(target)
    # In a child: a FIFO that blocked the open would fail by timeout, not hang.
    script = ("import sys; from tallyvox import _tallyvox as t\n"
              "for f in (t.SigningKeypair.load, t.SigningKeypair.load_or_create):\n"
              "    try: f(sys.argv[1])\n"
              "    except t.KeyLoadError as e: print(e)\n")
    run = subprocess.run([sys.executable, "-c", script, str(target)], capture_output=True,
                         text=True, env=child_env(), timeout=60)
    assert (run.stdout, run.stderr) == (f"{text}\n{text}\n", "")
    if kind == "directory":  # load_or_create made nothing inside it
        assert list(target.iterdir()) == []
