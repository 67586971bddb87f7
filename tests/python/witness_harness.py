"""Witnesses run by the tests: `tallyvox witness serve` in a subprocess on a
loopback port, and plain HTTP to it (http.client, no client library)."""

import http.client
import os
import signal
import subprocess
import sys
import urllib.parse
from dataclasses import dataclass

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from report_fixtures import run_cli
from tlog_model import COSIGNER, model_vkey, public_of


@dataclass
class WitnessProcess:
    name: str
    seed: bytes
    db: object
    logs: list
    stderr_path: object
    process: subprocess.Popen = None
    url: str = ""

    @property
    def vkey(self):
        return model_vkey(self.name, self.public, COSIGNER)

    @property
    def public(self):
        return public_of(Ed25519PrivateKey.from_private_bytes(self.seed))

    def start(self):
        key = self.db.parent / f"{self.name}.key"
        key.write_bytes(self.seed)
        key.chmod(0o600)
        if not self.db.exists():
            assert run_cli("witness", "init", "--db", self.db).returncode == 0
        command = [sys.executable, "-m", "tallyvox", "witness", "serve", "--db", str(self.db),
                   "--key", str(key), "--name", self.name, "--listen", "127.0.0.1:0"]
        for vkey in self.logs:  # a vkey, or ("prefix", PREFIX, HEX)
            command += ["--log", vkey] if isinstance(vkey, str) else [
                "--log-prefix", f"{vkey[1]}={vkey[2]}"]
        with open(self.stderr_path, "ab") as stderr:
            self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True)
        line = self.process.stdout.readline()
        assert line.startswith(f"witness {self.vkey} listening on http://127.0.0.1:"), line
        self.url = line.split()[-1]
        return self

    def stop(self, signum=signal.SIGTERM):
        if self.process is None:
            return None
        if self.process.poll() is None:
            os.kill(self.process.pid, signum)
        code = self.process.wait(timeout=30)
        self.process.stdout.close()
        self.process = None
        return code

    @property
    def stderr(self):
        return self.stderr_path.read_text()

    def connect(self):
        parts = urllib.parse.urlsplit(self.url)
        return http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)

    def post(self, body, connection=None, method="POST"):
        """(status, Content-Type, body text) of one add-checkpoint call."""
        own = connection is None
        connection = connection or self.connect()
        try:
            connection.request(method, "/add-checkpoint", body=body)
            response = connection.getresponse()
            return response.status, response.getheader("Content-Type"), response.read().decode()
        finally:
            if own:
                connection.close()


def start_witness(tmp_path, name, seed, logs):
    return WitnessProcess(name, seed, tmp_path / f"{name}.db", list(logs),
                          tmp_path / f"{name}.stderr").start()
