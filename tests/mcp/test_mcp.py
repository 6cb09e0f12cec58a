"""MCP servers admit verified agents: the real SDK's server under uvicorn, its own client."""

from __future__ import annotations

import asyncio
import contextlib
import os
import threading
import time
from typing import Annotated

import httpx
import pytest
from conftest import ADAPTER_AGENT, ADAPTER_ISSUER_DID
from mcp import Client
from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.resolve import Elicit, Resolve
from mcp.shared.exceptions import MCPError
from mcp_types import ElicitResult
from pydantic import BaseModel

from quorvel_trellane.demo import serve
from quorvel_trellane.mcp import (
    IDEMPOTENCY_META_KEY,
    NEEDS_META_KEY,
    PassportAccess,
    needs,
    passport_transport,
    passport_verdict,
)
from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.testing import Issuer
from quorvel_trellane.trust import IssuerTrust

FULL = ["catalog:read", "payments:x402"]
HEAD = {"accept": "application/json, text/event-stream", "content-type": "application/json"}
HELLO = {"protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": HELLO}
LIST = {"jsonrpc": "2.0", "id": 2, "method": "tools/list"}


def down(url):
    raise OSError("unreachable")


@pytest.fixture(scope="module")
def shop(adapter_trust, tmp_path_factory):
    """The server's URL and a ledger on its store. Every request needs
    catalog:read; "whoami" answers the verdict's agent, "buy" needs
    payments:x402 and costs 0.4 USD. The server's ledger holds against the
    verdict its door reached: its own trust could verify nothing."""
    store = tmp_path_factory.mktemp("mcp") / "spend.sqlite3"
    blind = IssuerTrust("https://issuer.example.org", issuer_did=ADAPTER_ISSUER_DID, fetch=down)
    access = PassportAccess(adapter_trust, ledger=SpendLedger(blind, store), required_scope="catalog:read")
    server = MCPServer("shop", **access.server_options)

    @server.tool()
    def whoami(ctx: Context) -> str:
        return passport_verdict(ctx).agent_did

    # Declared by hand, with the names the x402 challenge and the agent card use.
    @server.tool(meta={NEEDS_META_KEY: {"scopes": ["catalog:read", "audit:read"]}})
    def audit() -> str:
        return "audited"

    @server.tool(meta=needs("payments:x402", price_microusd=400_000))
    def buy(item: str) -> str:
        if item == "bad":
            raise RuntimeError("out of stock")
        return item

    with blind, access.ledger, SpendLedger(adapter_trust, store) as ledger:
        with serve(access.app(server, json_response=True)) as url:
            yield f"{url}/mcp", ledger


async def door(url, ledger, credential):
    """The HTTP answer to an opening request (status, challenge, error code),
    and the message of the SDK client's error."""
    headers = HEAD if credential is None else {**HEAD, "x-agent-passport": credential}
    async with httpx.AsyncClient(timeout=30) as http:
        answer = await http.post(url, headers=headers, json=INITIALIZE)
    try:
        async with Client(url if credential is None else passport_transport(url, credential), mode="legacy"):
            message = None
    except* MCPError as group:
        error = group
        while isinstance(error, BaseExceptionGroup):
            error = error.exceptions[0]
        message = error.message
    code = answer.json()["error_code"]
    return answer.status_code, answer.headers.get("www-authenticate"), code, message and message.split(":")[0]


async def bearer(url, ledger, credential):
    """An opening request with the passport as a bearer token: status, session."""
    async with httpx.AsyncClient(timeout=30) as http:
        answer = await http.post(url, headers={**HEAD, "authorization": f"Bearer {credential}"}, json=INITIALIZE)
    return answer.status_code, "mcp-session-id" in answer.headers


async def outage(url, ledger, credential):
    """A server whose issuer cannot be reached: status, Retry-After, code."""
    trust = IssuerTrust("https://issuer.example.org", issuer_did=ADAPTER_ISSUER_DID, fetch=down)
    access = PassportAccess(trust)
    with trust, serve(access.app(MCPServer("down", **access.server_options))) as base:
        async with httpx.AsyncClient(timeout=30) as http:
            answer = await http.post(f"{base}/mcp", headers={**HEAD, "x-agent-passport": credential}, json=INITIALIZE)
    return answer.status_code, "retry-after" in answer.headers, answer.json()["error"]["data"]["status"]


async def steal(url, ledger, credential, other):
    """What another agent's passport gets from a session it did not open
    (use, resume, read, end), then what its opener gets."""
    async with httpx.AsyncClient(timeout=30) as http:
        opened = await http.post(url, headers={**HEAD, "x-agent-passport": credential}, json=INITIALIZE)
        mine = {**HEAD, "x-agent-passport": credential, "mcp-session-id": opened.headers["mcp-session-id"]}
        theirs = {**mine, "x-agent-passport": other}
        answers = [
            (await http.post(url, headers=theirs, json=LIST)).status_code,
            (await http.get(url, headers={**theirs, "last-event-id": "0"})).status_code,
            (await http.get(url, headers=theirs)).status_code,
            (await http.delete(url, headers=theirs)).status_code,
        ]
        return answers, (await http.post(url, headers=mine, json=LIST)).status_code


async def twice(url, ledger, credential):
    """A metered call made twice in its session (its request id again):
    each answer's text or refusal, and what is left of the bound."""
    async with httpx.AsyncClient(timeout=30) as http:
        head = {**HEAD, "x-agent-passport": credential}
        opened = await http.post(url, headers=head, json=INITIALIZE)
        head["mcp-session-id"] = opened.headers["mcp-session-id"]
        await http.post(url, headers=head, json={"jsonrpc": "2.0", "method": "notifications/initialized"})
        call = {
            "jsonrpc": "2.0",
            "id": 7,
            "method": "tools/call",
            "params": {"name": "buy", "arguments": {"item": "a"}},
        }
        answers = [(await http.post(url, headers=head, json=call)).json() for _ in range(2)]
    texts = [a["result"]["content"][0]["text"] if "result" in a else a["error"]["message"] for a in answers]
    return texts, ledger.remaining(credential)


async def calls(url, ledger, credential, *steps):
    """Each (tool, arguments) called in one SDK client: the result's
    text, "error" for an error result, or the refusal's code; then the tools
    listed and what is left of the bound."""
    outcomes = []
    async with Client(passport_transport(url, credential), mode="legacy") as client:
        for name, arguments in steps:
            try:
                result = await client.call_tool(name, arguments)
                outcomes.append("error" if result.is_error else result.content[0].text)
            except MCPError as refused:
                outcomes.append(refused.message)
        seen = sorted(tool.name for tool in (await client.list_tools()).tools)
    return outcomes, seen, ledger.remaining(credential)


def issued(*scopes, agent=ADAPTER_AGENT):
    return lambda issuer: issuer.issue(agent_did=agent, scopes=list(scopes), spend_limit_microusd=1_000_000)


NOT_GRANTED = "SCOPE_NOT_GRANTED: scope 'payments:x402' not granted"
EXCEEDED = "SPEND_LIMIT_EXCEEDED: 400000 micro-USD would take the passport past its bound of 1000000: 200000 left"
CASES = {
    "no passport is refused": (door, [lambda i: None], (401, "AgentPassport", "MISSING_PASSPORT", "MISSING_PASSPORT")),
    "garbage is refused": (
        door,
        [lambda i: "garbage"],
        (401, "AgentPassport", "INVALID_CREDENTIAL", "INVALID_CREDENTIAL"),
    ),
    "an untrusted issuer's passport is refused": (
        door,
        [lambda i: Issuer(issuer_did=ADAPTER_ISSUER_DID).issue(agent_did=ADAPTER_AGENT, scopes=FULL)],
        (401, "AgentPassport", "UNRESOLVED_ISSUER_KEY", "UNRESOLVED_ISSUER_KEY"),
    ),
    "a passport without the server's scope is refused": (
        door,
        [issued("payments:x402")],
        (403, None, "SCOPE_NOT_GRANTED", "SCOPE_NOT_GRANTED"),
    ),
    "a bearer token is the passport too": (bearer, [issued(*FULL)], (200, True)),
    "an issuer outage is 503": (outage, [issued(*FULL)], (503, True, "unverifiable")),
    "a session is its opener's alone": (
        steal,
        [issued(*FULL), issued(*FULL, agent="did:web:x:other")],
        ([404] * 4, 200),
    ),
    "a verified agent is admitted and its tool reads the verdict": (
        calls,
        [issued(*FULL), ("whoami", {})],
        ([ADAPTER_AGENT], ["buy", "whoami"], 1_000_000),
    ),
    "a scoped tool is hidden and refused": (
        calls,
        [issued("catalog:read"), ("buy", {"item": "tea"})],
        ([NOT_GRANTED], ["whoami"], 1_000_000),
    ),
    "a tool declaring its scopes needs every one": (
        calls,
        [issued(*FULL), ("audit", {})],
        (["SCOPE_NOT_GRANTED: scope 'audit:read' not granted"], ["buy", "whoami"], 1_000_000),
    ),
    "a tool declaring its scopes is seen and called with them all": (
        calls,
        [issued(*FULL, "audit:read"), ("audit", {})],
        (["audited"], ["audit", "buy", "whoami"], 1_000_000),
    ),
    "a metered tool is charged once per call and refused past the bound": (
        calls,
        [issued(*FULL), ("buy", {"item": "a"}), ("buy", {"item": "b"}), ("buy", {"item": "c"})],
        (["a", "b", EXCEEDED + " in the window"], ["buy", "whoami"], 200_000),
    ),
    "a metered call made again runs and counts once": (
        twice,
        [issued(*FULL)],
        (["a", "DUPLICATE_CALL: this call of tool 'buy' was already made and charged"], 600_000),
    ),
    "a metered tool that raises is released": (
        calls,
        [issued(*FULL), ("buy", {"item": "bad"})],
        (["error"], ["buy", "whoami"], 1_000_000),
    ),
}


# The MCP edges: passports that cannot be a principal, impossible prices, redirects.


async def declared(url, ledger, price):
    try:
        needs(price_microusd=price)
    except ValueError as refused:
        return type(refused).__name__


async def redirected(url, ledger, credential):  # the server redirects "/mcp/" to "/mcp"
    return await calls(url + "/", ledger, credential, ("whoami", {}))


REFUSED = (401, "AgentPassport", "INVALID_CREDENTIAL", "INVALID_CREDENTIAL")
EDGES = {
    "a numeric agent DID is refused": (door, [issued(*FULL, agent=5)], REFUSED),
    "a list as agent DID is refused": (door, [issued(*FULL, agent=[ADAPTER_AGENT])], REFUSED),
    "a passport without an agent DID is refused": (door, [issued(*FULL, agent=None)], REFUSED),
    "an empty agent DID is refused": (door, [issued(*FULL, agent="")], REFUSED),
    "scopes that are not text are refused": (door, [issued(*FULL, 7)], REFUSED),
    "a price no ledger can hold is refused when declared": (declared, [10**30], "ValueError"),
    "a same-origin redirect is followed": (redirected, [issued(*FULL)], ([ADAPTER_AGENT], ["buy", "whoami"], 10**6)),
}


@pytest.mark.parametrize("scenario, given, expected", [*CASES.values(), *EDGES.values()], ids=[*CASES, *EDGES])
def test_an_mcp_server_answers_by_the_verified_passport(shop, adapter_issuer, scenario, given, expected):
    url, ledger = shop
    arguments = [argument(adapter_issuer) if callable(argument) else argument for argument in given]
    assert asyncio.run(scenario(url, ledger, *arguments)) == expected


# -- metering: each call charged once, however it is retried, cancelled or resumed --

PRICE = 100_000
SHIPPED: list[str] = []  # what the tools below did, in order
BLOCKED: set[str] = set()  # items whose tool waits until the test lets them go
STARTED = threading.Event()


class Size(BaseModel):
    size: str


def ask_size() -> Elicit[Size]:
    return Elicit("which size?", Size)


def metered_server(access: PassportAccess) -> MCPServer:
    """ "ship" (sync: a cancel lands once it returns), "pack" (async), "fit" (asks for a size first)."""
    server = MCPServer("metered", **access.server_options)

    @server.tool(meta=needs(price_microusd=PRICE))
    def ship(item: str) -> str:
        STARTED.set()
        while item in BLOCKED:
            time.sleep(0.01)
        SHIPPED.append(item)
        return item

    @server.tool(meta=needs(price_microusd=PRICE))
    async def pack(item: str) -> str:
        STARTED.set()
        while item in BLOCKED:
            await asyncio.sleep(0.01)
        SHIPPED.append(item)
        return item

    @server.tool(meta=needs(price_microusd=PRICE))
    def fit(item: str, size: Annotated[Size, Resolve(ask_size)]) -> str:
        SHIPPED.append(f"{item} {size.size}")
        return SHIPPED[-1]

    return server


@pytest.fixture(scope="module", params=["sqlite", "postgres"])
def metered_shops(request, adapter_trust, tmp_path_factory):
    """Two servers on one ledger (SQLite, PostgreSQL): their URLs and the ledger."""
    url = os.environ.get("QUORVEL_TEST_POSTGRES_URL")
    if request.param == "postgres" and not url:
        pytest.skip("no PostgreSQL server: run the tests with ./scripts/test")
    store = url if request.param == "postgres" else tmp_path_factory.mktemp("metered") / "spend.sqlite3"
    accesses = [PassportAccess(adapter_trust, ledger=SpendLedger(adapter_trust, store)) for _ in range(2)]
    with contextlib.ExitStack() as stack:
        for access in accesses:
            stack.enter_context(access.ledger)
        urls = [stack.enter_context(serve(a.app(metered_server(a), json_response=True))) for a in accesses]
        yield [f"{u}/mcp" for u in urls], accesses[0].ledger


async def elicited(context, params):
    return ElicitResult(action="accept", content={"size": "L"})


async def step(http, head, url, credential, how, name, item, key=None):
    """One step of a case: its answer's text or refusal code (None for a call cancelled)."""
    meta = None if key is None else {IDEMPOTENCY_META_KEY: key}
    if how in ("sessionless", "elsewhere", "other passport"):
        async with Client(passport_transport(url, credential), elicitation_callback=elicited) as client:
            try:
                return (await client.call_tool(name, {"item": item}, meta=meta)).content[0].text
            except MCPError as refused:
                return refused.message[:14]
    params = {"name": name, "arguments": {"item": item}, **({"_meta": meta} if meta else {})}
    call = http.post(url, headers=head, json={"jsonrpc": "2.0", "id": 7, "method": "tools/call", "params": params})
    if how == "session":
        answer = (await call).json()
        return answer["result"]["content"][0]["text"] if "result" in answer else answer["error"]["message"][:14]
    BLOCKED.add(item)
    STARTED.clear()
    running = asyncio.ensure_future(call)
    await asyncio.to_thread(STARTED.wait, 10)
    cancel = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 7}}
    await http.post(url, headers=head, json=cancel)
    if name == "ship":
        await asyncio.sleep(0.3)  # let the cancel land: it takes effect once the sync tool returns
        BLOCKED.discard(item)
    await running
    BLOCKED.discard(item)


async def metering(urls, ledger, credential, other, steps):
    """Each step in a session (request id 7), sessionless, on the other server or with another
    passport of the agent: the answers, what the tools did, what was charged."""
    SHIPPED.clear()
    async with httpx.AsyncClient(timeout=30) as http:
        head = {**HEAD, "x-agent-passport": credential}
        head["mcp-session-id"] = (await http.post(urls[0], headers=head, json=INITIALIZE)).headers["mcp-session-id"]
        await http.post(urls[0], headers=head, json={"jsonrpc": "2.0", "method": "notifications/initialized"})
        answers = []
        for how, *call in steps:
            url = urls[how == "elsewhere"]
            answers.append(await step(http, head, url, other if how == "other passport" else credential, how, *call))
    return [a for a in answers if a is not None], SHIPPED, 1_000_000 - ledger.remaining(credential)


DUPLICATE, REUSED, INVALID = "DUPLICATE_CALL", "IDEMPOTENCY_KE", "Invalid idempo"
METERING = {
    "a cancelled sync call retried with other arguments is a new call": (
        [("cancel", "ship", "slow"), ("session", "ship", "b")],
        (["b"], ["slow", "b"], 2 * PRICE),
    ),
    "a sync call that returns after its cancel is charged, and not run again": (
        [("cancel", "ship", "slow"), ("session", "ship", "slow"), ("session", "ship", "slow")],
        ([DUPLICATE, DUPLICATE], ["slow"], PRICE),
    ),
    "an async call cancelled while it runs may be retried as it was, once, on its hold": (
        [("cancel", "pack", "x"), ("session", "pack", "x")]
        + [("cancel", "pack", "y"), ("cancel", "pack", "y"), ("session", "pack", "y")],
        (["x", DUPLICATE], ["x"], 2 * PRICE),
    ),
    "a tool that asks for input first is charged once": (
        [("sessionless", "fit", "tea"), ("sessionless", "fit", "tea", "k1")],
        (["tea L", "tea L"], ["tea L", "tea L"], 2 * PRICE),
    ),
    "the same key for the same call is charged once, on both paths and every server": (
        [("sessionless", "ship", "a", "k1"), ("sessionless", "ship", "a", "k1"), ("elsewhere", "ship", "a", "k1")]
        + [("session", "ship", "b", "k2"), ("session", "ship", "b", "k2"), ("other passport", "ship", "a", "k1")],
        (["a", DUPLICATE, DUPLICATE, "b", DUPLICATE, "a"], ["a", "b", "a"], 2 * PRICE),
    ),
    "the same key for another call is refused, on every server": (
        [("sessionless", "ship", "a", "k1"), ("sessionless", "ship", "b", "k1"), ("elsewhere", "pack", "a", "k1")],
        (["a", REUSED, DUPLICATE], ["a"], PRICE),
    ),
    "an idempotency key that cannot be one is refused": (
        [("sessionless", "ship", "a", ""), ("session", "ship", "a", "x" * 257)],
        ([INVALID, INVALID], [], 0),
    ),
}


@pytest.mark.parametrize(("steps", "expected"), list(METERING.values()), ids=list(METERING))
def test_a_metered_call_is_charged_once_however_it_is_made(metered_shops, adapter_issuer, steps, expected):
    urls, ledger = metered_shops
    credential, other = (issued(*FULL)(adapter_issuer) for _ in range(2))
    assert asyncio.run(metering(urls, ledger, credential, other, steps)) == expected
