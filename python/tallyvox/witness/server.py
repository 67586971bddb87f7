"""A witness (c2sp.org/tlog-witness) on aiohttp: ``POST /add-checkpoint``.

The event loop reads each body and checks the log's signature (in the
extension); one writer thread owns the database and takes every request
that arrived while its last commit was in flight into the next transaction,
so that concurrent logs share one durable write instead of queueing for
one each. Nothing is answered before its transaction has committed.
"""

from __future__ import annotations

import asyncio
import logging
import queue
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass

from aiohttp import web

from tallyvox._tallyvox import SigningKeypair, _native
from tallyvox.witness.state import Request, Verdict, WitnessState
from tallyvox.witness.vkey import Vkey

log = logging.getLogger("tallyvox.witness")

MAX_BODY = 64 * 1024
MAX_BATCH = 256
SIZE_TYPE = "text/x.tlog.size"

_Pending = tuple[Request, asyncio.AbstractEventLoop, "asyncio.Future[Verdict]"]


class Writer:
    """The thread that applies requests to the state, many per transaction."""

    def __init__(self, state: WitnessState):
        self._state = state
        self._queue: queue.SimpleQueue[_Pending | None] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="tallyvox-witness-writer", daemon=True)
        self._thread.start()

    async def apply(self, request: Request) -> Verdict:
        loop = asyncio.get_running_loop()
        future: asyncio.Future[Verdict] = loop.create_future()
        self._queue.put((request, loop, future))
        return await future

    def close(self) -> None:
        self._queue.put(None)
        self._thread.join()

    def _run(self) -> None:
        while True:
            first = self._queue.get()
            if first is None:
                return
            batch = [first]
            while len(batch) < MAX_BATCH:
                try:
                    item = self._queue.get_nowait()
                except queue.Empty:
                    break
                if item is None:
                    self._queue.put(None)  # stop after this batch
                    break
                batch.append(item)
            self._commit(batch)

    def _commit(self, batch: list[_Pending]) -> None:
        try:
            outcomes: list[Verdict | BaseException] = list(self._state.apply([r for r, _, _ in batch]))
        except Exception as exc:  # noqa: BLE001 - each waiting request fails with it
            log.exception("the witness state could not be updated")
            outcomes = [exc] * len(batch)
        for (_, loop, future), outcome in zip(batch, outcomes):
            loop.call_soon_threadsafe(_settle, future, outcome)


def _settle(future: asyncio.Future[Verdict], outcome: Verdict | BaseException) -> None:
    if future.done():  # the client went away
        return
    if isinstance(outcome, BaseException):
        future.set_exception(outcome)
    else:
        future.set_result(outcome)


@dataclass
class Service:
    """What a running witness knows: its key and name, and the logs it serves."""

    keypair: SigningKeypair
    name: str
    logs: Mapping[str, list[bytes]]  # origin: the logs' public keys
    writer: Writer

    async def add_checkpoint(self, http: web.Request) -> web.Response:
        body = await http.read()
        status, reason, parsed = _native.read_add_checkpoint(body, self.logs)
        if parsed is None:
            return _text(status, reason)
        request = Request(*parsed, status=status, reason=reason)
        verdict = await self.writer.apply(request)
        if verdict.status == 200:
            line = _native.cosign(request.text, self.name, self.keypair, int(time.time()))
            return web.Response(text=line, content_type="text/plain", charset="utf-8")
        _log_refusal(request, verdict)
        if verdict.status == 409:
            return web.Response(status=409, body=f"{verdict.size}\n".encode(), content_type=SIZE_TYPE)
        return _text(verdict.status, verdict.reason)


def _text(status: int, reason: str) -> web.Response:
    return web.Response(status=status, text=reason + "\n", content_type="text/plain", charset="utf-8")


def _log_refusal(request: Request, verdict: Verdict) -> None:
    # 422 and a second tree of one size are a fork, or a rewritten log.
    fork = verdict.status == 422 or (verdict.status == 409 and request.old_size == verdict.size)
    log.log(logging.WARNING if fork else logging.INFO,
            "refused a checkpoint signed by the log %s: %d %s (old size %d, size %d)",
            request.origin, verdict.status, verdict.reason, request.old_size, request.size)


def log_keys(logs: Sequence[Vkey]) -> dict[str, list[bytes]]:
    """The public keys of each origin, from the logs' verifier keys."""
    keys: dict[str, list[bytes]] = {}
    for vkey in logs:
        if vkey.cosigner:
            raise ValueError(f"{vkey}: the key of a witness, not of a log")
        keys.setdefault(vkey.name, []).append(vkey.public_key)
    return keys


class LogKeys(Mapping[str, list[bytes]]):
    """The public keys of each log a witness serves: those given for its
    exact origin, and the key of every prefix its origin starts with.

    A prefix serves a family of logs signed by one key, such as every ledger
    of one agent, each its own log with its own origin: the note's key ID
    still binds the key to the exact origin it signed."""

    def __init__(self, exact: Mapping[str, list[bytes]],
                 prefixes: Sequence[tuple[str, bytes]] = ()) -> None:
        self._exact = dict(exact)
        self._prefixes = list(prefixes)

    def __getitem__(self, origin: str) -> list[bytes]:
        keys = [*self._exact.get(origin, ()),
                *(key for prefix, key in self._prefixes if origin.startswith(prefix))]
        if not keys:
            raise KeyError(origin)
        return keys

    def __iter__(self) -> Iterator[str]:
        return iter(self._exact)

    def __len__(self) -> int:
        return len(self._exact)


def make_app(service: Service) -> web.Application:
    app = web.Application(client_max_size=MAX_BODY)
    app.router.add_post("/add-checkpoint", service.add_checkpoint)
    return app


async def serve(state: WitnessState, keypair: SigningKeypair, name: str, logs: Sequence[Vkey],
                host: str, port: int, *, prefixes: Sequence[tuple[str, bytes]] = (),
                ready: Callable[[str], None] | None = None,
                stop: asyncio.Event | None = None) -> None:
    """Serve until `stop` is set (or the task is cancelled); `ready` gets the URL.
    `prefixes` are (origin prefix, public key) of families of logs."""
    service = Service(keypair, name, LogKeys(log_keys(logs), prefixes), Writer(state))
    runner = web.AppRunner(make_app(service), access_log=None)
    await runner.setup()
    try:
        site = web.TCPSite(runner, host, port)
        await site.start()
        if ready is not None:
            ready(_url(runner.addresses[0]))
        await (stop or asyncio.Event()).wait()
    finally:
        await runner.cleanup()
        service.writer.close()


def _url(address: tuple[str, int]) -> str:
    host, port = address[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"
