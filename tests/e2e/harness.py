"""Helpers for end-to-end tests of the Updater binary.

Every run gets a fresh temporary HOME. The tool takes the home directory from the password
database before HOME, so tests that reach a command pass -i with a temporary directory of
their own rather than relying on HOME; run() fails a test whose run makes ~/.veltrona.
"""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

UPDATER_BIN = os.environ.get("UPDATER_BIN", "")
PEERS_DIR = os.environ.get("PEERS_DIR", os.path.join(os.path.dirname(__file__), "..", "peers"))


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    @property
    def out_lines(self):
        return self.stdout.split("\n")[:-1] if self.stdout else []

    @property
    def err_lines(self):
        return self.stderr.split("\n")[:-1] if self.stderr else []

    def __repr__(self):
        return "exit %d\n--- stdout ---\n%s--- stderr ---\n%s" % (
            self.code, self.stdout, self.stderr)


def require_binary(test_case):
    if not UPDATER_BIN or not os.access(UPDATER_BIN, os.X_OK):
        test_case.skipTest("UPDATER_BIN is not set to the built tool")


def run(args, home=None, timeout=60, env_extra=None):
    """Runs the tool with `args` (a list of words) and returns its Result."""
    own_home = home is None
    if own_home:
        home = tempfile.mkdtemp(prefix="updater-home-")
    env = dict(os.environ)
    env["HOME"] = home
    env.update(env_extra or {})
    # The tool takes the home directory from the password database, so a command run
    # without -i would make the real user's store: catch such a test at once.
    real_store = os.path.join(pwd.getpwuid(os.getuid()).pw_dir, ".veltrona")
    store_existed = os.path.exists(real_store)
    try:
        proc = subprocess.run([UPDATER_BIN] + list(args), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                              timeout=timeout)
        result = Result(proc.returncode, proc.stdout.decode("utf-8", "replace"),
                        proc.stderr.decode("utf-8", "replace"))
    finally:
        if own_home:
            shutil.rmtree(home, ignore_errors=True)
    if not store_existed and os.path.exists(real_store):
        raise AssertionError("the run %s made %s: pass -i with a temporary directory"
                             % (list(args), real_store))
    return result


class TempDir:
    """A temporary directory removed on exit: `with TempDir() as path:`."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="updater-e2e-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
        return False


class Peer:
    """A peer script from PEERS_DIR run as a child process.

    The peer is expected to print one line on its standard output when it is ready (for
    example the port it listens on); that line is kept in `ready_line`.
    """

    def __init__(self, script, *args, ready_timeout=10.0):
        path = os.path.join(PEERS_DIR, script)
        self.proc = subprocess.Popen([sys.executable, path] + [str(a) for a in args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.ready_line = self._read_ready(ready_timeout)

    def _read_ready(self, timeout):
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if sel.select(timeout=0.1):
                line = self.proc.stdout.readline()
                if line:
                    return line.decode().strip()
                break
            if self.proc.poll() is not None:
                break
        self.stop()
        raise RuntimeError("peer %s did not get ready" % self.proc.args)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


# A URL that no server answers: tests never reach the default update server.
NO_SERVER_URL = "http://127.0.0.1:9/cgi/u"

UNAVAILABLE_SUFFIX = " is not available in this build"


def unavailable(result):
    """True when the run ended on an operation that this build does not carry yet."""
    return bool(result.err_lines) and result.err_lines[-1].endswith(UNAVAILABLE_SUFFIX)
