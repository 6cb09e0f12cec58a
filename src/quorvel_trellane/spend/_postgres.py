"""The PostgreSQL spend store: one database, any number of servers.

Each operation is one statement, so one round trip, on an autocommit
connection from a psycopg 3 pool: the statement calls a function created
with the schema (``_postgres_schema``), which runs as one transaction. A
reservation takes the passport's budget row ``FOR UPDATE`` (an upsert,
which locks the row it inserts or finds) before it reads the window's
total, so two servers reserving for one passport queue on that row and the
second reads the first's hold: no overspend and no lost update under READ
COMMITTED, where each statement inside the function sees what committed
before it began. Passports never wait for each other.

The sync operations use a thread-safe pool; the async ones an async pool
on the running event loop (one per loop), so they never hop to a thread.
"""

from __future__ import annotations

import asyncio
import select
import threading
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Final
from urllib.parse import unquote

from quorvel_trellane.spend._postgres_schema import RESERVE, SETTLE, SETTLE_KEY, SPENT, SWEEP, create_schema
from quorvel_trellane.spend._store import ALL, Request, Reserved, Settled, StoreValueError

if TYPE_CHECKING:
    from psycopg import AsyncConnection, Connection
    from psycopg_pool import AsyncConnectionPool, ConnectionPool

__all__ = ["PostgresStore"]

_SWEEP_EVERY: Final = 64  # reservations between two sweeps of expired budgets
# One statement is one transaction: no BEGIN or COMMIT round trips. Never
# prepared: preparing costs a round trip of its own, and the functions keep
# their own plans anyway.
_CONNECTION: Final = {"autocommit": True, "prepare_threshold": None}
# The lock on the budget row is what keeps the bound; a stricter default
# isolation would only add serialization failures.
_ISOLATION: Final = "SET default_transaction_isolation = 'read committed'"
# The connection parameters whose values are secrets, never shown.
_SECRETS: Final = frozenset({"password", "sslpassword"})


class PostgresStore:
    """The spend tables in one PostgreSQL database, through connection pools."""

    def __init__(self, url: str, timeout: float, pool_size: int) -> None:
        try:
            import psycopg  # noqa: F401 (the clear error below when missing)
            from psycopg_pool import ConnectionPool
        except ModuleNotFoundError as exc:
            raise ModuleNotFoundError(
                "the PostgreSQL spend store needs psycopg 3 and psycopg_pool: pip install 'quorvel-trellane[postgres]'",
                name=exc.name,
            ) from exc
        self.url = url
        self.timeout = timeout
        self.pool_size = pool_size
        self._lock = threading.Lock()
        self._reserves = 0
        self._closed = False
        self._closing: set[asyncio.Task[None]] = set()
        # The async pools, one per event loop that used the store.
        self._async: dict[asyncio.AbstractEventLoop, AsyncConnectionPool[AsyncConnection[tuple[Any, ...]]]] = {}
        self._pool: ConnectionPool[Connection[tuple[Any, ...]]] = ConnectionPool(
            url,
            min_size=1,
            max_size=pool_size,
            timeout=timeout,
            open=False,
            kwargs=dict(_CONNECTION),
            configure=_configure,
            name="quorvel-spend",
        )
        self._pool.open(wait=True, timeout=timeout)
        try:
            with self._pool.connection() as conn:
                create_schema(conn)
        except BaseException:
            self._pool.close()
            raise

    def __repr__(self) -> str:
        return f"PostgresStore({_redacted(self.url)!r})"

    def reserve(self, request: Request) -> Reserved:
        # A reservation with a key may run twice (the second returns the
        # first's decision); one without never does.
        row = self._run(RESERVE, request, repeatable=request.key is not None)
        if self._sweep_due():
            self._run(SWEEP, (request.at,), repeatable=True)
        return Reserved(row[0], row[1], row[2], row[3], row[4])

    def settle(self, hold: object, state: int, amount: int | None) -> Settled | None:
        # Settling again at the same state and amount changes nothing.
        return _settled(self._run(SETTLE, (hold, state, amount), repeatable=True))

    def settle_key(self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None) -> Settled | None:
        return _settled(self._run(SETTLE_KEY, (issuer_did, passport_id, key, state, amount), repeatable=True))

    async def reserve_async(self, request: Request) -> Reserved:
        row = await self._run_async(RESERVE, request, repeatable=request.key is not None)
        if self._sweep_due():
            await self._run_async(SWEEP, (request.at,), repeatable=True)
        return Reserved(row[0], row[1], row[2], row[3], row[4])

    async def settle_async(self, hold: object, state: int, amount: int | None) -> Settled | None:
        return _settled(await self._run_async(SETTLE, (hold, state, amount), repeatable=True))

    async def settle_key_async(
        self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None
    ) -> Settled | None:
        params = (issuer_did, passport_id, key, state, amount)
        return _settled(await self._run_async(SETTLE_KEY, params, repeatable=True))

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        since = ALL if window is None else at - window
        return int(self._run(SPENT, (issuer_did, passport_id, since), repeatable=True)[0])

    def close(self) -> None:
        with self._lock:
            self._closed = True
            pools, self._async = self._async, {}
        self._pool.close()
        for loop, pool in pools.items():
            # An async pool closes on its own loop; one whose loop has ended
            # has nothing running, and its connections close when it goes.
            if loop.is_closed():
                continue
            try:
                running = asyncio.get_running_loop()
            except RuntimeError:
                running = None
            if running is loop:
                # The loop keeps only a weak reference to a task: this one is kept.
                closing = loop.create_task(pool.close())
                self._closing.add(closing)
                closing.add_done_callback(self._closing.discard)
            elif loop.is_running():
                asyncio.run_coroutine_threadsafe(pool.close(), loop)
            elif running is None:
                loop.run_until_complete(pool.close())  # an idle loop: its pool's tasks end now

    # -- one statement, on a live connection --

    def _sweep_due(self) -> bool:
        with self._lock:
            self._reserves += 1
            return self._reserves % _SWEEP_EVERY == 0

    def _run(self, query: str, params: Sequence[object], *, repeatable: bool) -> tuple[Any, ...]:
        """One statement's row.

        A pooled connection the server has ended is replaced before anything
        is sent on it (it provably never ran the statement). A connection lost
        under the statement is replaced and the statement sent once more only
        when running it twice changes nothing."""
        from psycopg import OperationalError

        if self._closed:
            raise ValueError("the spend ledger is closed")  # as on SQLite, not the pool's own error
        value_errors = _value_errors()
        sent = False
        for _ in range(self.pool_size + 2):
            with self._pool.connection() as conn:
                if _ended(conn):
                    conn.close()  # closed, the pool replaces it
                    continue
                try:
                    row = conn.execute(query, params).fetchone()
                except value_errors as exc:
                    raise StoreValueError(str(exc).splitlines()[0]) from exc
                except OperationalError:
                    if sent or not repeatable or not conn.broken:
                        raise
                    sent = True
                    continue
            assert row is not None
            return row
        raise OperationalError("no live connection to the spend store")

    async def _run_async(self, query: str, params: Sequence[object], *, repeatable: bool) -> tuple[Any, ...]:
        """:meth:`_run` on the running loop's async pool."""
        from psycopg import OperationalError

        pool = await self._async_pool()
        value_errors = _value_errors()
        sent = False
        for _ in range(self.pool_size + 2):
            async with pool.connection() as conn:
                if _ended(conn):
                    await conn.close()
                    continue
                try:
                    row = await (await conn.execute(query, params)).fetchone()
                except value_errors as exc:
                    raise StoreValueError(str(exc).splitlines()[0]) from exc
                except OperationalError:
                    if sent or not repeatable or not conn.broken:
                        raise
                    sent = True
                    continue
            assert row is not None
            return row
        raise OperationalError("no live connection to the spend store")

    async def _async_pool(self) -> AsyncConnectionPool[AsyncConnection[tuple[Any, ...]]]:
        loop = asyncio.get_running_loop()
        pool = self._async.get(loop)
        if pool is not None:
            return pool
        from psycopg_pool import AsyncConnectionPool

        with self._lock:
            if self._closed:
                raise ValueError("the spend ledger is closed")
            # Pools of loops that have ended go; their connections close with them.
            for ended in [other for other in self._async if other.is_closed()]:
                del self._async[ended]
        pool = AsyncConnectionPool(
            self.url,
            min_size=0,
            max_size=self.pool_size,
            timeout=self.timeout,
            open=False,
            kwargs=dict(_CONNECTION),
            configure=_configure_async,
            name="quorvel-spend-async",
        )
        await pool.open()
        with self._lock:
            kept = self._async.setdefault(loop, pool)
        if kept is not pool:
            await pool.close()
        return kept


def _settled(row: tuple[Any, ...]) -> Settled | None:
    return None if row[0] is None else Settled(row[0], row[1], row[2], row[3])


def _value_errors() -> tuple[type[Exception], ...]:
    """What the store cannot keep: a NUL in a text, a number out of range, an
    index row too long. The ledger answers these with a false decision."""
    from psycopg import DataError, errors

    return (DataError, errors.ProgramLimitExceeded)


def _ended(conn: Connection[tuple[Any, ...]] | AsyncConnection[tuple[Any, ...]]) -> bool:
    """Whether the server has ended a pooled connection (a restart, an idle
    timeout, a failover): an idle connection has nothing to read, an ended
    one its end. No round trip."""
    if conn.closed or conn.broken:
        return True
    poll = select.poll()
    poll.register(conn.pgconn.socket, select.POLLIN)
    return bool(poll.poll(0))


def _configure(conn: Connection[tuple[Any, ...]]) -> None:
    conn.execute(_ISOLATION)


async def _configure_async(conn: AsyncConnection[tuple[Any, ...]]) -> None:
    await conn.execute(_ISOLATION)


def _redacted(url: str) -> str:
    """The url with every password in it (its user info, a password parameter) shown as ***."""
    scheme, sep, rest = url.partition("://")
    rest, mark, query = rest.partition("?")
    credentials, at, host = rest.rpartition("@")
    if at and ":" in credentials:
        rest = f"{credentials.split(':', 1)[0]}:***@{host}"
    if mark:
        parts = query.split("&")
        for i, part in enumerate(parts):
            name, equals, _ = part.partition("=")
            if equals and unquote(name).strip().lower() in _SECRETS:
                parts[i] = f"{name}=***"
        query = "&".join(parts)
    return f"{scheme}{sep}{rest}{mark}{query}"
