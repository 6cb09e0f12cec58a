"""``quorvel-passport``: inspect, verify and present Agent Passports.

Exit status: 0 when the command did its job (for ``verify``: the passport
is verified), 1 when ``verify`` reaches any other verdict, 2 for usage
errors, malformed input, missing components and any unexpected error, 3
when fetching a document from the network fails, 130 when interrupted.
No input makes the command print a traceback.
"""

from __future__ import annotations

import argparse
import base64
import dataclasses
import http.client
import json
import logging
import os
import sys
import urllib.parse
from collections.abc import Callable, Sequence
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any, Final, TextIO

from quorvel_trellane import __version__, passport
from quorvel_trellane._components import PASSPORT_HINT
from quorvel_trellane._display import dollars, duration_words
from quorvel_trellane._presenting import own_credential
from quorvel_trellane._fetching import (
    CRL_PREFIX,
    WELLKNOWN_PATH,
    HttpFetch,
    _FetchError,
    check_issuer_url,
    crl_url,
    is_loopback_host,
    key_set_url,
)
from quorvel_trellane._text import escaped

if TYPE_CHECKING:
    from quorvel_trellane.trust import DocumentStatus, IssuerTrust

EXIT_OK = 0
EXIT_NOT_VERIFIED = 1
EXIT_USAGE = 2
EXIT_NETWORK = 3
EXIT_INTERRUPTED = 130  # what a shell reports for a command ended by Ctrl-C

_MAX_DOCUMENT_BYTES: Final = 16 * 1024 * 1024  # as the trust layer's default


class UsageError(Exception):
    """Bad input from the command line: reported on stderr, exit 2."""


class NetworkError(Exception):
    """A document could not be fetched: reported on stderr, exit 3."""


# -- reading inputs ----------------------------------------------------------


def _require_components(command: str) -> None:
    """Refuse to start without the canonicaliser and the Falcon-1024 verifier.

    Without them every credential would come out "invalid": a set-up problem
    reported as a bad passport.
    """
    try:
        passport._load_crypto()
    except passport.PassportError as exc:
        raise UsageError(
            f"{command} needs the passport components rfc8785 and pqcrypto: {PASSPORT_HINT}"
        ) from exc


def _names_a_file(arg: str, *, slash_is_base64: bool) -> bool:
    """Whether an argument that is no file was meant as a file name.

    Credentials and keys are base64 text, which never holds "." or "~" and
    never starts with "/" (a Falcon-1024 key starts with "C"); a credential,
    in the url-safe alphabet, holds no "/" at all. Such an argument read as
    credential or key text would only be reported as bad base64. Both run
    to thousands of characters, so a long argument stays text (a stray "."
    in a pasted credential is skipped by the decoder).
    """
    text = arg.strip()
    if len(text) > 1024:
        return False
    if "." in text or "\\" in text or text.startswith(("/", "~")):
        return True
    return not slash_is_base64 and "/" in text


def _not_a_file(arg: str, option: str | None = None) -> UsageError:
    problem = "not a regular file" if os.path.exists(arg) else "no such file"
    return UsageError(f"{option + ': ' if option else ''}{problem}: {arg}")


def _read_credential(arg: str, stdin: TextIO) -> str:
    """The credential named on the command line: ``-``, a file, or the text."""
    if arg == "-":
        return stdin.read().strip()
    if os.path.isfile(arg):
        try:
            return passport.load_credential(arg)
        except OSError as exc:
            raise UsageError(f"cannot read credential file {arg}: {exc.strerror or exc}") from exc
    if _names_a_file(arg, slash_is_base64=False):
        raise _not_a_file(arg)
    return arg.strip()


def _read_json_file(path: str, what: str, option: str) -> Any:
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except (FileNotFoundError, IsADirectoryError) as exc:
        raise _not_a_file(path, option) from exc
    except OSError as exc:
        raise UsageError(f"cannot read {what} {path}: {exc.strerror or exc}") from exc
    except ValueError as exc:
        raise UsageError(f"{what} {path} is not JSON: {exc}") from exc


def _keys_from_file(path: str) -> dict[str, Any]:
    """Trust material from a file: a well-known key document or ``{kid: key}``."""
    doc = _read_json_file(path, "key file", "--keys")
    if isinstance(doc, dict) and "keys" in doc:
        # Read the document with the library's own rules, so that a pinned copy
        # yields exactly the keys that fetching it from the issuer would.
        body = json.dumps(doc).encode("utf-8")
        try:
            keys: dict[str, Any] = passport.resolve_keys_from_wellknown(
                path, fetch=lambda _url: body
            )
        except (AttributeError, TypeError) as exc:
            raise UsageError(f"key file {path}: \"keys\" must be a list of objects") from exc
        if not keys:
            raise UsageError(f"key file {path} holds no usable Falcon-1024 key")
        return keys
    if isinstance(doc, dict) and doc and all(isinstance(v, str) for v in doc.values()):
        return doc
    raise UsageError(
        f"key file {path} must be a well-known key document "
        '({"keys": [...]}) or an object mapping kid to base64 key'
    )


def _pinned_key(arg: str) -> bytes | str:
    """One pinned key: a file (raw or base64) or base64 text."""
    if not os.path.isfile(arg):
        if _names_a_file(arg, slash_is_base64=True):
            raise _not_a_file(arg, "--key")
        return arg
    try:
        with open(arg, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise UsageError(f"cannot read key file {arg}: {exc.strerror or exc}") from exc
    if len(raw) == passport.FALCON_1024_PUBLIC_KEY_BYTES:
        return raw
    try:
        return raw.decode("ascii").strip()
    except UnicodeDecodeError:
        return raw  # the verifier reports its size


def _crl_document(doc: object, where: str, err: TextIO) -> Any:
    # A bare string or number would reach the verifier as "a collection of
    # ids" (its characters) or as a usage error there; refuse it here, naming
    # where it came from.
    if not isinstance(doc, (dict, list)):
        raise UsageError(
            f"revocation list {where} must be an object with \"revoked\" or a list of ids"
        )
    _warn_unless_revoked(doc, where, err)
    return doc


def _warn_unless_revoked(doc: object, where: str, err: TextIO) -> None:
    # The library's rule, kept: such a document lists nobody. An error page
    # served as JSON looks just like that, so say it.
    if isinstance(doc, dict) and "revoked" not in doc:
        err.write(
            f"warning: revocation list {escaped(where)} has no \"revoked\" member; "
            "it is taken as revoking nothing\n"
        )


def _crl_from_file(path: str, err: TextIO) -> Any:
    return _crl_document(_read_json_file(path, "revocation list", "--crl"), path, err)


def _parse_now(text: str) -> datetime:
    value = text.strip()
    if value[-1:] in ("z", "Z"):
        value = value[:-1] + "+00:00"
    try:
        moment = datetime.fromisoformat(value)
    except ValueError:
        raise UsageError(f"--now: not an ISO 8601 date-time: {text!r}") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment


# -- network -----------------------------------------------------------------


def _checked_url(url: str, option: str, err: TextIO, *, issuer: bool = True) -> str:
    """An http or https URL to fetch from; warn when plain http leaves the host.

    An issuer base URL must hold no query, fragment or user name: the
    document paths are appended to it.
    """
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        raise UsageError(f"{option}: not an http or https URL: {url}")
    if issuer:
        try:
            check_issuer_url(url)
        except ValueError as exc:
            raise UsageError(f"{option}: {exc}") from None
    if parts.scheme.lower() == "http" and not is_loopback_host(parts.hostname):
        err.write(
            f"warning: {escaped(url)} is plain http: anyone on the way can change the "
            "keys or revocation list it serves; use https\n"
        )
    return url


def _client(url: str, timeout: float) -> HttpFetch:
    """The package's HTTP client for the documents of ``url``'s host.

    Plain http was asked for on the command line (and warned about), so it
    is allowed; redirects still go to https only.
    """
    return HttpFetch(timeout, _MAX_DOCUMENT_BYTES, True, url, conditional=False)


def _fetching(url: str, action: Callable[[], Any], err: TextIO) -> Any:
    """Run one fetch; turn transport failures into a message naming ``url``."""
    if err.isatty():
        err.write(f"fetching {escaped(url)} ...\n")
        err.flush()
    try:
        return action()
    except _FetchError as exc:
        raise NetworkError(f"cannot fetch {url}: {exc.reason}") from exc
    except TimeoutError as exc:
        raise NetworkError(f"cannot fetch {url}: timed out") from exc
    except (OSError, http.client.HTTPException) as exc:
        raise NetworkError(f"cannot fetch {url}: {exc or type(exc).__name__}") from exc
    except json.JSONDecodeError as exc:
        raise NetworkError(f"cannot fetch {url}: response is not JSON ({exc})") from exc


def _fetch_direct(url: str, timeout: float, err: TextIO) -> Any:
    client = _client(url, timeout)
    return _fetching(url, lambda: json.loads(client(url)), err)


def _fetch_keys(issuer_url: str, timeout: float, err: TextIO) -> dict[str, bytes]:
    client = _client(issuer_url, timeout)
    keys: dict[str, bytes] = _fetching(
        key_set_url(issuer_url),
        lambda: passport.resolve_keys_from_wellknown(issuer_url, fetch=client),
        err,
    )
    return keys


def _list_missing(doc: object) -> str | None:
    """What a fetched revocation document lacks, as the trust layer judges it; None when whole."""
    if not isinstance(doc, dict) or "revoked" not in doc:
        return 'no "revoked" list'
    revoked = doc["revoked"]
    if not isinstance(revoked, list) or not all(isinstance(item, str) for item in revoked):
        return '"revoked" is not a list of text'
    return None


def _fetch_crl(issuer_url: str, kid: str, timeout: float, err: TextIO, *, strict: bool = False) -> dict[str, Any]:
    """The issuer's revocation list for ``kid``.

    ``strict`` (the list a verification uses): a document without its list
    is a failed fetch, as in the trust layer, never "none revoked".
    """
    url = crl_url(issuer_url, kid)
    client = _client(issuer_url, timeout)
    fetched = _fetching(url, lambda: passport.fetch_crl(issuer_url, kid, fetch=client), err)
    missing = _list_missing(fetched) if strict else None
    if missing is not None:
        raise NetworkError(f"cannot fetch {url}: {missing}")
    doc: dict[str, Any] = _crl_document(fetched, url, err)
    return doc


class _CommandFetch:
    """The Fetcher the command gives ``IssuerTrust``: the package's client.

    It says what it fetches (on a terminal) and keeps each failure
    (transport, or a revocation list without its list) as the message the
    command reports.
    """

    def __init__(self, issuer_url: str, timeout: float, err: TextIO) -> None:
        self.wellknown_url = key_set_url(issuer_url)
        self.client = _client(issuer_url, timeout)
        self.timeout = timeout
        self.err = err
        self.failures: dict[str, NetworkError] = {}

    def __call__(self, url: str) -> bytes:
        try:
            body: bytes = _fetching(url, lambda: self.client(url), self.err)
            if url != self.wellknown_url:
                # The trust layer fails such a list too; keep the reason to report it.
                try:
                    missing = _list_missing(json.loads(body))
                except ValueError:
                    missing = None  # the trust layer records it as not JSON
                if missing is not None:
                    raise NetworkError(f"cannot fetch {url}: {missing}")
        except NetworkError as exc:
            self.failures[url] = exc
            raise
        return body

    def failure(self, trust: IssuerTrust, verdict: passport.PassportVerdict) -> NetworkError | None:
        """The fetch that decided ``verdict``, if one failed: the key set or the kid's list."""
        status = trust.status()
        if verdict.error_code == "UNRESOLVED_ISSUER_KEY":
            return self.failed(status.key_set)
        if verdict.error_code == "REVOCATION_CHECK_FAILED" and verdict.kid is not None:
            return self.failed(status.revocation_lists.get(verdict.kid))
        return None

    def failed(self, doc: DocumentStatus | None) -> NetworkError | None:
        if doc is None or doc.state in ("fresh", "stale"):
            return None  # fetched fine: the kid is just not in the key set
        # No error yet means the fetch was still running when the wait ended.
        return self.failures.get(doc.url) or NetworkError(
            f"cannot fetch {doc.url}: {_one_line(doc.last_error or 'timed out')}"
        )


def _issuer_trust(issuer_url: str, fetch: _CommandFetch, timeout: float) -> IssuerTrust:
    from quorvel_trellane.trust import IssuerTrust

    # The trust layer logs each failed fetch; the command reports it itself,
    # in one line, so keep Python's last-resort handler from printing those.
    log = logging.getLogger("quorvel_trellane.trust")
    if not any(isinstance(handler, logging.NullHandler) for handler in log.handlers):
        log.addHandler(logging.NullHandler())
    return IssuerTrust(issuer_url, timeout=timeout, fetch=fetch)


def _is_url(text: str) -> bool:
    return "://" in text


# -- output ------------------------------------------------------------------


def _shown(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, str):
        # The text is the sender's: control characters in it could redraw the
        # terminal (a "VERIFIED" over the real verdict). Such a claim is shown
        # as a quoted JSON string, its boundaries plain to see.
        return value if value.isprintable() else json.dumps(value)
    if isinstance(value, tuple):
        return ", ".join(_shown(v) for v in value) if value else "-"
    return json.dumps(value)


def _table(rows: Sequence[tuple[str, str]], out: TextIO) -> None:
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        out.write(f"{name.ljust(width)}  {value}\n")


def _wellknown_of(keys: dict[str, bytes]) -> dict[str, Any]:
    return {
        "keys": [
            {
                "alg": "Falcon-1024",
                "kid": kid,
                "public_key_b64": base64.b64encode(pk).decode("ascii"),
            }
            for kid, pk in keys.items()
        ]
    }


def _emit_json(doc: object, out: TextIO) -> None:
    out.write(json.dumps(doc, indent=2) + "\n")


# -- commands ----------------------------------------------------------------


def cmd_inspect(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    _require_components("inspect")
    credential = _read_credential(args.credential, stdin)
    decoded = passport.decode_passport(credential)
    envelope = {
        "alg": decoded.alg,
        "kid": decoded.kid,
        "signature_bytes": len(decoded.sig),
    }
    if args.json:
        _emit_json({"verified": False, "envelope": envelope, "payload": decoded.payload}, out)
        return EXIT_OK
    out.write("UNVERIFIED: decoded only, the signature has NOT been checked\n\n")
    _table(
        [
            ("alg", _shown(decoded.alg)),
            ("kid", _shown(decoded.kid)),
            ("signature", f"{len(decoded.sig)} bytes"),
        ],
        out,
    )
    out.write("\npayload (unverified):\n")
    _emit_json(decoded.payload, out)
    return EXIT_OK


def _verdict_fields(verdict: passport.PassportVerdict) -> dict[str, Any]:
    fields = {f.name: getattr(verdict, f.name) for f in dataclasses.fields(verdict)}
    fields["scopes"] = list(fields["scopes"])
    return fields


def cmd_verify(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    _require_components("verify")
    if args.issuer is not None:
        _checked_url(args.issuer, "--issuer", err)
    list_url = args.crl if args.crl is not None and _is_url(args.crl) else None
    if list_url is not None:
        _checked_url(list_url, "--crl", err, issuer=False)
    credential = _read_credential(args.credential, stdin)
    # One moment for every verification below, moved back by the leeway.
    now = _parse_now(args.now) if args.now is not None else datetime.now(timezone.utc)
    now -= timedelta(seconds=args.leeway)

    issuer_keys: Any = None
    if args.keys is not None:
        issuer_keys = _keys_from_file(args.keys)
    elif args.key is not None:
        issuer_keys = _pinned_key(args.key)
    elif args.issuer is not None:
        fetch = _CommandFetch(args.issuer, args.timeout, err)
        trust = _issuer_trust(args.issuer, fetch, args.timeout)
        try:
            if args.crl is None and not args.no_revocation_check:
                # The trust layer fetches the key set, then a revocation
                # list only for a genuine, current passport whose kid it holds.
                verdict = trust.verify(
                    credential, required_scope=args.scope, expected_agent_did=args.agent, now=now
                )
                failure = fetch.failure(trust, verdict)
                if failure is not None:
                    raise failure
                return _report(verdict, args, out, err)
            issuer_keys = trust.keys()
            if not issuer_keys:
                raise fetch.failed(trust.status().key_set) or NetworkError(
                    f"{fetch.wellknown_url} lists no usable Falcon-1024 key"
                )
        finally:
            # Cut the exchanges still running (Ctrl-C, or a verdict reached
            # at the deadline) and let their threads end before the
            # interpreter shuts down around them.
            fetch.client.close()
            trust.close(wait=args.timeout + 1)

    crl: Any = None
    fetch_crl: Callable[[str], Any] | None = None
    if list_url is not None:
        fetch_crl = lambda _kid: _crl_document(  # noqa: E731
            _fetch_direct(list_url, args.timeout, err), list_url, err
        )
    elif args.crl is not None:
        crl = _crl_from_file(args.crl, err)
    elif args.issuer is not None and not args.no_revocation_check:
        fetch_crl = lambda kid: _fetch_crl(args.issuer, kid, args.timeout, err, strict=True)  # noqa: E731

    def verify(crl: Any, require_revocation_check: bool) -> passport.PassportVerdict:
        return passport.verify_passport(
            credential,
            issuer_keys=issuer_keys,
            crl=crl,
            required_scope=args.scope,
            expected_agent_did=args.agent,
            require_revocation_check=require_revocation_check,
            now=now,
        )

    if fetch_crl is None:
        verdict = verify(crl, not args.no_revocation_check)
    else:
        # A revocation list is fetched only for a credential that is genuine
        # and current against the key set. Judged first with the check
        # waived, any other outcome is already final (every check before
        # revocation decides alone), and the kid then is the key id of the
        # key that verified it: a kid the key set does not hold, or a crafted
        # one ("../", "?"), never reaches the issuer.
        verdict = verify(None, False)
        if verdict.status == "active" and verdict.kid is not None:
            verdict = verify(fetch_crl(verdict.kid), True)
    return _report(verdict, args, out, err)


def _report(verdict: passport.PassportVerdict, args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if args.json:
        _emit_json(_verdict_fields(verdict), out)
    else:
        _print_verdict(verdict, out)
    if (
        verdict.error_code == "REVOCATION_CHECK_FAILED"
        and args.crl is None
        and args.issuer is None
    ):
        # Fail closed without a list is the library's rule, and the first
        # thing anyone verifying offline runs into: say what to pass.
        err.write(
            "hint: no revocation list was given: pass the issuer's list for this kid "
            "with --crl FILE|URL, or accept the passport without one with "
            "--no-revocation-check\n"
        )
    return EXIT_OK if verdict.verified is True else EXIT_NOT_VERIFIED


# The verdicts reached before the signature check succeeded: fields of such a
# credential are whatever its sender wrote. Every later check runs on a
# passport the issuer's key signed. An unknown code counts as unverified.
_SIGNATURE_VERIFIED: Final = frozenset(
    {
        "EXPIRED",
        "REVOCATION_CHECK_FAILED",
        "REVOCATION_ID_MISSING",
        "REVOKED",
        "AGENT_MISMATCH",
        "SCOPE_NOT_GRANTED",
    }
)

# What a signed passport that is not in force is, after its fields.
_NOT_IN_FORCE: Final = {
    "expired": "issuer-signed, expired",
    "revoked": "issuer-signed, revoked",
    "unverifiable": "issuer-signed, revocation unconfirmed",
}


def _print_verdict(verdict: passport.PassportVerdict, out: TextIO) -> None:
    verified = verdict.verified is True
    signed = verified or verdict.error_code in _SIGNATURE_VERIFIED
    rows = [
        ("verdict", "VERIFIED" if verified else "NOT VERIFIED"),
        ("status", _shown(verdict.status)),
    ]
    if verdict.error_code is not None:
        rows.append(("error", f"{_shown(verdict.error_code)}: {_shown(verdict.error_message)}"))
    rows.append(("signature", "verified with the issuer key" if signed else "not verified"))
    claims = [
        ("agent_did", _shown(verdict.agent_did)),
        ("scopes", _shown(tuple(verdict.scopes))),
        ("spend_limit", _spend(verdict.spend_limit_microusd, verdict.spend_window)),
        ("issuer_did", _shown(verdict.issuer_did)),
        ("kid", _shown(verdict.kid)),
        ("issued_at", _shown(verdict.issued_at)),
        ("expires_at", _shown(verdict.expires_at)),
    ]
    label = _field_label(verdict, signed)
    if label is not None:
        claims = [(name, value if value == "-" else f"{value}  ({label})") for name, value in claims]
    _table(rows + claims, out)


def _field_label(verdict: passport.PassportVerdict, signed: bool) -> str | None:
    """What was verified of the fields, to show after each (None: all of it).

    Unsigned, a field is the sender's claim, and a spend limit shown plainly
    would read as a grant. Signed, it is the issuer's word, though a passport
    no longer in force grants nothing. A genuine passport refused for its
    agent or scope ("active") is shown plainly: the error row says why.
    """
    if not signed:
        return "unverified claim"
    if verdict.status == "active":
        return None
    return _NOT_IN_FORCE.get(str(verdict.status), "issuer-signed")


def _spend(limit: object, window: object) -> str:
    """The spend bound for people: "50000000 micro-USD ($50.00) per day"."""
    if limit is None:
        return "-"
    if isinstance(limit, int) and not isinstance(limit, bool):
        shown = f"{limit} micro-USD ({dollars(limit)})"
    else:
        shown = _shown(limit)
    if window is None:
        return shown
    words = duration_words(window) if isinstance(window, str) else None
    return f"{shown} per {words if words is not None else _shown(window)}"


def cmd_present(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    try:
        # Checked, unlike what load_credential returns: a file name put in the
        # variable must not be printed as the passport.
        credential = own_credential(args.file, "--file PATH")
    except (FileNotFoundError, IsADirectoryError) as exc:
        raise _not_a_file(args.file, "--file") from exc
    except OSError as exc:
        raise UsageError(f"cannot read credential file {args.file}: {exc.strerror or exc}") from exc
    except UnicodeDecodeError as exc:
        raise UsageError(f"credential file {args.file} is not UTF-8 text") from exc
    if args.a2a:
        _emit_json(passport.a2a_message_metadata(credential), out)
    else:
        for name, value in passport.x402_headers(credential).items():
            out.write(f"{name}: {escaped(value)}\n")
    return EXIT_OK


def cmd_fetch_keys(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    keys = _fetch_keys(_checked_url(args.issuer_url, "ISSUER_URL", err), args.timeout, err)
    if not keys:
        err.write(f"warning: {escaped(key_set_url(args.issuer_url))} lists no usable Falcon-1024 key\n")
    for kid, pk in keys.items():
        # Verification refuses such keys anyway; say so before they get pinned.
        if len(pk) != passport.FALCON_1024_PUBLIC_KEY_BYTES:
            err.write(
                f"warning: key {escaped(kid)} is {len(pk)} bytes, "
                f"expected {passport.FALCON_1024_PUBLIC_KEY_BYTES}\n"
            )
        elif passport.kid_for_key(pk) != kid:
            err.write(f"warning: key published as {escaped(kid)} has key id {passport.kid_for_key(pk)}\n")
    _emit_json(_wellknown_of(keys), out)
    return EXIT_OK


def cmd_fetch_crl(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    issuer_url = _checked_url(args.issuer_url, "ISSUER_URL", err)
    _emit_json(_fetch_crl(issuer_url, args.kid, args.timeout, err), out)
    return EXIT_OK


# -- argument parsing --------------------------------------------------------


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None


def _seconds(text: str) -> float:
    value = _number(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError("must be a finite number, not negative")
    return value


def _timeout(text: str) -> float:
    value = _number(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("must be positive")
    return value


_TIMEOUT_HELP = "how long one fetch may take, all told, and the longest verify waits on the network (default 6)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvel-passport",
        description="Inspect, verify and present Quorvel Agent Passports.",
        epilog="exit status: 0 ok/verified, 1 not verified, 2 usage or malformed input "
        "(or the passport extra missing), 3 network failure, 130 interrupted",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser(
        "inspect",
        help="decode a credential WITHOUT verifying it",
        description="Decode a credential and show its envelope and payload. "
        "Nothing is verified: never trust what this prints.",
    )
    p.add_argument("credential", metavar="CREDENTIAL", help="credential text, a file holding it, or - for stdin")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=cmd_inspect)

    p = sub.add_parser(
        "verify",
        help="verify a credential offline against issuer keys",
        description="Verify a credential. Keys come from --keys or --key (pinned, "
        "offline) or from --issuer (fetched); the revocation list from --crl "
        "or, with --issuer, from the issuer. A list is fetched only for a "
        "passport that is genuine and current against the keys.",
    )
    p.add_argument("credential", metavar="CREDENTIAL", help="credential text, a file holding it, or - for stdin")
    keys = p.add_mutually_exclusive_group()
    keys.add_argument(
        "--keys", metavar="FILE",
        help="well-known key document, or a JSON object mapping kid to base64 key",
    )
    keys.add_argument("--key", metavar="FILE|BASE64", help="pin one issuer public key (raw or base64 file, or base64 text)")
    p.add_argument(
        "--issuer", metavar="URL",
        help="issuer base URL: fetch its keys (unless --keys/--key) and the revocation list (unless --crl)",
    )
    p.add_argument("--crl", metavar="FILE|URL", help="revocation list document (or list of ids)")
    p.add_argument(
        "--no-revocation-check", action="store_true",
        help="accept a passport whose revocation status cannot be confirmed",
    )
    p.add_argument("--scope", metavar="S", help="require this scope")
    p.add_argument("--agent", metavar="DID", help="require this agent DID")
    p.add_argument("--now", metavar="ISO8601", help="verification time (default: now; no zone means UTC)")
    p.add_argument(
        "--leeway", type=_seconds, default=0.0, metavar="SECONDS",
        help="clock skew tolerated on expiry: verify at the verification time minus SECONDS (default 0)",
    )
    p.add_argument("--timeout", type=_timeout, default=6.0, metavar="SECONDS", help=_TIMEOUT_HELP)
    p.add_argument("--json", action="store_true", help="print the verdict as one JSON object")
    p.set_defaults(run=cmd_verify)

    p = sub.add_parser(
        "present",
        help="print the agent's own credential as an x402 header or A2A metadata",
        description="Load the agent's credential (--file, or the environment variable "
        f"{passport.PASSPORT_ENV_VAR}, which holds the credential's text, not a file name) "
        "and print it ready to attach.",
    )
    form = p.add_mutually_exclusive_group()
    form.add_argument("--x402", action="store_true", help="print the HTTP header line (default)")
    form.add_argument("--a2a", action="store_true", help="print the A2A message metadata as JSON")
    p.add_argument("--file", metavar="PATH", help=f"credential file (default: ${passport.PASSPORT_ENV_VAR})")
    p.set_defaults(run=cmd_present)

    p = sub.add_parser(
        "fetch-keys",
        help="fetch an issuer's key document, to pin it",
        description=f"Fetch <ISSUER_URL>{WELLKNOWN_PATH} and print the usable "
        "keys as a well-known key document (input for verify --keys).",
    )
    p.add_argument("issuer_url", metavar="ISSUER_URL")
    p.add_argument("--timeout", type=_timeout, default=6.0, metavar="SECONDS", help=_TIMEOUT_HELP)
    p.set_defaults(run=cmd_fetch_keys)

    p = sub.add_parser(
        "fetch-crl",
        help="fetch an issuer's revocation list for one kid",
        description=f"Fetch <ISSUER_URL>{CRL_PREFIX}<KID>.json and print it (input for verify --crl).",
    )
    p.add_argument("issuer_url", metavar="ISSUER_URL")
    p.add_argument("kid", metavar="KID")
    p.add_argument("--timeout", type=_timeout, default=6.0, metavar="SECONDS", help=_TIMEOUT_HELP)
    p.set_defaults(run=cmd_fetch_crl)
    return parser


def _one_line(text: str) -> str:
    """One line, every control character escaped: error texts quote URLs and issuers' answers."""
    return escaped(" ".join(text.split()))


def main(
    argv: Sequence[str] | None = None,
    *,
    stdout: TextIO | None = None,
    stderr: TextIO | None = None,
    stdin: TextIO | None = None,
) -> int:
    out = stdout or sys.stdout
    err = stderr or sys.stderr
    try:
        args = build_parser().parse_args(argv)
        code: int = args.run(args, out, err, stdin or sys.stdin)
        return code
    except UsageError as exc:
        err.write(f"quorvel-passport: {_one_line(str(exc))}\n")
        return EXIT_USAGE
    except passport.PassportError as exc:
        err.write(f"quorvel-passport: {_one_line(str(exc))}\n")
        return EXIT_USAGE
    except NetworkError as exc:
        err.write(f"quorvel-passport: {_one_line(str(exc))}\n")
        return EXIT_NETWORK
    except ValueError as exc:
        # The canonicaliser refuses some payloads (a NaN, a huge integer), and a
        # key that is not base64 at all fails in the decoder: malformed input.
        err.write(f"quorvel-passport: malformed input: {_one_line(str(exc))}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # `quorvel-passport inspect ... | head`: nothing left to tell anyone.
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:  # noqa: BLE001
        # Never a traceback, whatever the input: one line naming the error.
        err.write(
            f"quorvel-passport: unexpected error: {type(exc).__name__}: {_one_line(str(exc))}\n"
        )
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
