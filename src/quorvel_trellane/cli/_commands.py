"""The commands: the parser, one function a subcommand, and ``main``."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Sequence
from datetime import UTC, datetime
from typing import Any, TextIO

from quorvel_trellane import __version__, passport
from quorvel_trellane._internal.components import PASSPORT_HINT
from quorvel_trellane._internal.presenting import own_credential
from quorvel_trellane._internal.text import escaped
from quorvel_trellane.cli._errors import NetworkError as NetworkError
from quorvel_trellane.cli._errors import UsageError as UsageError
from quorvel_trellane.cli._errors import one_line
from quorvel_trellane.cli._fetch import (
    CommandFetch,
    checked_url,
    fetch_direct,
    fetch_issuer_crl,
    fetch_keys,
    issuer_trust,
)
from quorvel_trellane.cli._input import (
    components_missing,
    crl_document,
    crl_from_file,
    decode_unverified,
    earlier,
    is_url,
    keys_from_file,
    not_a_file,
    parse_now,
    pinned_key,
    read_credential,
    require_components,
)
from quorvel_trellane.cli._operations import add_operations
from quorvel_trellane.cli._output import (
    emit_json,
    missing_input_hint,
    print_table,
    print_verdict,
    shown,
    verdict_fields,
    wellknown_of,
)
from quorvel_trellane.cli._serve import add_serve_parser
from quorvel_trellane.trust._addresses import CRL_PREFIX, WELLKNOWN_PATH, key_set_url

EXIT_OK = 0
EXIT_NOT_VERIFIED = 1
EXIT_USAGE = 2
EXIT_NETWORK = 3
EXIT_INTERRUPTED = 130  # what a shell reports for a command ended by Ctrl-C


# -- commands ----------------------------------------------------------------


def cmd_inspect(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    credential = read_credential(args.credential, stdin)
    if components_missing():
        # Looking at a passport needs base64 and JSON, not the crypto extra.
        alg, kid, sig_bytes, payload = decode_unverified(credential)
        err.write(f"note: decoded without the passport components ({PASSPORT_HINT})\n")
    else:
        decoded = passport.decode_passport(credential)
        alg, kid, sig_bytes, payload = decoded.alg, decoded.kid, len(decoded.sig), decoded.payload
    envelope = {"alg": alg, "kid": kid, "signature_bytes": sig_bytes}
    if args.json:
        emit_json({"verified": False, "envelope": envelope, "payload": payload}, out)
        return EXIT_OK
    out.write("UNVERIFIED: decoded only, the signature has NOT been checked\n\n")
    print_table([("alg", shown(alg)), ("kid", shown(kid)), ("signature", f"{sig_bytes} bytes")], out)
    out.write("\npayload (unverified):\n")
    emit_json(payload, out)
    return EXIT_OK


def cmd_verify(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    require_components("verify")
    if args.issuer is not None:
        checked_url(args.issuer, "--issuer", err)
    list_url = args.crl if args.crl is not None and is_url(args.crl) else None
    if list_url is not None:
        checked_url(list_url, "--crl", err, issuer=False)
    credential = read_credential(args.credential, stdin)
    # One moment for every verification below, moved back by the leeway.
    now = earlier(parse_now(args.now) if args.now is not None else datetime.now(UTC), args.leeway)

    issuer_keys: Any = None
    if args.keys is not None:
        issuer_keys = keys_from_file(args.keys)
    elif args.key is not None:
        issuer_keys = pinned_key(args.key)
    elif args.issuer is not None:
        fetch = CommandFetch(args.issuer, args.timeout, err)
        trust = issuer_trust(args.issuer, fetch, args.timeout)
        try:
            if args.crl is None and not args.no_revocation_check:
                # The trust layer fetches the key set, then a revocation
                # list only for a genuine, current passport whose kid it holds.
                verdict = trust.verify(credential, required_scope=args.scope, expected_agent_did=args.agent, now=now)
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
        fetch_crl = lambda _kid: crl_document(fetch_direct(list_url, args.timeout, err), list_url)  # noqa: E731
    elif args.crl is not None:
        crl = crl_from_file(args.crl)
    elif args.issuer is not None and not args.no_revocation_check:
        fetch_crl = lambda kid: fetch_issuer_crl(args.issuer, kid, args.timeout, err)  # noqa: E731

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
        emit_json(verdict_fields(verdict), out)
    else:
        print_verdict(verdict, out)
    hint = missing_input_hint(
        verdict,
        keys_given=args.keys is not None or args.key is not None or args.issuer is not None,
        crl_given=args.crl is not None or args.issuer is not None,
    )
    if hint is not None:
        err.write(f"hint: {hint}\n")
    return EXIT_OK if verdict.verified is True else EXIT_NOT_VERIFIED


def cmd_present(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    try:
        # Checked, unlike what load_credential returns: a file name put in the
        # variable must not be printed as the passport.
        credential = own_credential(args.file, "--file PATH")
    except (FileNotFoundError, IsADirectoryError) as exc:
        raise not_a_file(args.file, "--file") from exc
    except OSError as exc:
        raise UsageError(f"cannot read credential file {args.file}: {exc.strerror or exc}") from exc
    except UnicodeDecodeError as exc:
        raise UsageError(f"credential file {args.file} is not UTF-8 text") from exc
    if args.a2a:
        emit_json(passport.a2a_message_metadata(credential), out)
    else:
        for name, value in passport.x402_headers(credential).items():
            out.write(f"{name}: {escaped(value)}\n")
    return EXIT_OK


def cmd_fetch_keys(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    keys = fetch_keys(checked_url(args.issuer_url, "ISSUER_URL", err), args.timeout, err)
    if not keys:
        err.write(f"warning: {escaped(key_set_url(args.issuer_url))} lists no usable Falcon-1024 key\n")
    for kid, pk in keys.items():
        # Verification refuses such keys anyway; say so before they get pinned.
        if len(pk) != passport.FALCON_1024_PUBLIC_KEY_BYTES:
            err.write(
                f"warning: key {escaped(kid)} is {len(pk)} bytes, expected {passport.FALCON_1024_PUBLIC_KEY_BYTES}\n"
            )
        elif passport.kid_for_key(pk) != kid:
            err.write(f"warning: key published as {escaped(kid)} has key id {passport.kid_for_key(pk)}\n")
    emit_json(wellknown_of(keys), out)
    return EXIT_OK


def cmd_fetch_crl(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    issuer_url = checked_url(args.issuer_url, "ISSUER_URL", err)
    emit_json(fetch_issuer_crl(issuer_url, args.kid, args.timeout, err), out)
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
_FETCH_TIMEOUT_HELP = "how long the fetch may take, all told (default 6)"
_ISSUER_URL_HELP = "the issuer's base URL (https), where it publishes its key set and revocation lists"


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
        "--keys",
        metavar="FILE",
        help="well-known key document, or a JSON object mapping kid to base64 key",
    )
    keys.add_argument(
        "--key", metavar="FILE|BASE64", help="pin one issuer public key (raw or base64 file, or base64 text)"
    )
    p.add_argument(
        "--issuer",
        metavar="URL",
        help="issuer base URL: fetch its keys (unless --keys/--key) and the revocation list (unless --crl)",
    )
    p.add_argument("--crl", metavar="FILE|URL", help="revocation list document (or list of ids)")
    p.add_argument(
        "--no-revocation-check",
        action="store_true",
        help="accept a passport whose revocation status cannot be confirmed",
    )
    p.add_argument("--scope", metavar="S", help="require this scope")
    p.add_argument("--agent", metavar="DID", help="require this agent DID")
    p.add_argument("--now", metavar="ISO8601", help="verification time (default: now; no zone means UTC)")
    p.add_argument(
        "--leeway",
        type=_seconds,
        default=0.0,
        metavar="SECONDS",
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
    p.add_argument("issuer_url", metavar="ISSUER_URL", help=_ISSUER_URL_HELP)
    p.add_argument("--timeout", type=_timeout, default=6.0, metavar="SECONDS", help=_FETCH_TIMEOUT_HELP)
    p.set_defaults(run=cmd_fetch_keys)

    p = sub.add_parser(
        "fetch-crl",
        help="fetch an issuer's revocation list for one kid",
        description=f"Fetch <ISSUER_URL>{CRL_PREFIX}<KID>.json and print it (input for verify --crl).",
    )
    p.add_argument("issuer_url", metavar="ISSUER_URL", help=_ISSUER_URL_HELP)
    p.add_argument(
        "kid", metavar="KID", help="the key id whose list to fetch (16 hex digits, as inspect shows a passport's kid)"
    )
    p.add_argument("--timeout", type=_timeout, default=6.0, metavar="SECONDS", help=_FETCH_TIMEOUT_HELP)
    p.set_defaults(run=cmd_fetch_crl)
    add_operations(sub)
    add_serve_parser(sub)
    return parser


def _parse(argv: Sequence[str] | None, out: TextIO, err: TextIO) -> argparse.Namespace | int:
    """The arguments, or the exit status of --help, --version or a usage error.

    argparse prints those to the process's streams and exits; here they go
    to ``out`` and ``err`` and ``main`` returns the status, so that a caller
    running the command in its own process gets an answer, not SystemExit.
    """
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            return build_parser().parse_args(argv)
        except SystemExit as exc:
            return exc.code if isinstance(exc.code, int) else EXIT_OK if exc.code is None else EXIT_USAGE


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
        args = _parse(argv, out, err)
        if isinstance(args, int):
            return args
        code: int = args.run(args, out, err, stdin or sys.stdin)
        return code
    except UsageError as exc:
        err.write(f"quorvel-passport: {one_line(str(exc))}\n")
        return EXIT_USAGE
    except passport.PassportError as exc:
        err.write(f"quorvel-passport: {one_line(str(exc))}\n")
        return EXIT_USAGE
    except NetworkError as exc:
        err.write(f"quorvel-passport: {one_line(str(exc))}\n")
        return EXIT_NETWORK
    except ValueError as exc:
        # The canonicaliser refuses some payloads (a NaN, a huge integer), and a
        # key that is not base64 at all fails in the decoder: malformed input.
        err.write(f"quorvel-passport: malformed input: {one_line(str(exc))}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # `quorvel-passport inspect ... | head`: nothing left to tell anyone.
        sys.stderr = open(os.devnull, "w")
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:
        # Never a traceback, whatever the input: one line naming the error.
        err.write(f"quorvel-passport: unexpected error: {type(exc).__name__}: {one_line(str(exc))}\n")
        return EXIT_USAGE
