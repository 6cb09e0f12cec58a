"""``python -m quorvel_trellane.testing``: a test issuer's documents, as files.

Writes what a relying party gets from an issuer (its public key, its key
set document, its revocation list) and what an agent holds (a passport),
plus a second passport that the list revokes, so that the
``quorvel-passport`` command can be tried from a shell. The secret key is
not kept: these files serve for trying things out, never for anything real.

Exit status: 0 when the files were written, 2 for usage errors (a file that
already exists is left alone unless ``--force`` is given).
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import sys
import uuid
from collections.abc import Sequence
from datetime import timedelta
from typing import TextIO

from quorvel_trellane.testing._issuer import Issuer

PUBLIC_KEY = "issuer.pub"
KEY_SET = "keys.json"
REVOCATION_LIST = "crl.json"
PASSPORT = "passport.txt"
REVOKED = "revoked.txt"
NAMES = (PUBLIC_KEY, KEY_SET, REVOCATION_LIST, PASSPORT, REVOKED)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quorvel_trellane.testing",
        description="Write a throw-away test issuer's public key, key set document and "
        "revocation list, a passport it issued and a second one it revoked, to try "
        "quorvel-passport verify and present with. For trying things out only.",
    )
    parser.add_argument("directory", nargs="?", default=".", metavar="DIR", help="where to write (default: here)")
    parser.add_argument("--agent", default="did:example:agent", metavar="DID", help="the passports' agent DID")
    parser.add_argument("--issuer-did", default="did:example:issuer", metavar="DID", help="the issuer's DID")
    parser.add_argument(
        "--scope", action="append", metavar="S", help="a scope to grant (repeatable; default payments:x402)"
    )
    parser.add_argument(
        "--hours", type=_hours, default=24.0, metavar="H", help="how long the passports are valid (default 24)"
    )
    parser.add_argument("--force", action="store_true", help="overwrite files that exist")
    return parser


def _hours(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of hours: {text!r}") from None
    if not 0 < value < 24 * 365 * 100:
        raise argparse.ArgumentTypeError("must be positive and under a century")
    return value


def write_files(
    directory: str,
    *,
    agent_did: str,
    issuer_did: str,
    scopes: Sequence[str],
    valid_for: timedelta,
    force: bool = False,
) -> tuple[Issuer, dict[str, str]]:
    """Issue and write the five files; return the issuer and each file's path by name.

    Raises ``FileExistsError`` naming the files in the way, before writing any.
    """
    paths = {name: os.path.normpath(os.path.join(directory, name)) for name in NAMES}
    taken = [path for path in paths.values() if os.path.lexists(path)]
    if taken and not force:
        raise FileExistsError(", ".join(taken))
    issuer = Issuer(issuer_did=issuer_did)
    passport = issuer.issue(agent_did=agent_did, scopes=list(scopes), valid_for=valid_for)
    revoked_id = f"pp_revoked_{uuid.uuid4().hex[:12]}"
    revoked = issuer.issue(agent_did=agent_did, scopes=list(scopes), valid_for=valid_for, passport_id=revoked_id)
    issuer.revoke(revoked_id)
    contents = {
        PUBLIC_KEY: issuer.keypair.public_key_b64 + "\n",
        KEY_SET: json.dumps(issuer.wellknown_document(), indent=2) + "\n",
        REVOCATION_LIST: json.dumps(issuer.revocation_list(), indent=2) + "\n",
        PASSPORT: passport + "\n",
        REVOKED: revoked + "\n",
    }
    os.makedirs(directory, exist_ok=True)
    for name, text in contents.items():
        with open(paths[name], "w", encoding="ascii") as handle:
            handle.write(text)
    return issuer, paths


def main(argv: Sequence[str] | None = None, *, stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    out = stdout or sys.stdout
    err = stderr or sys.stderr
    args = build_parser().parse_args(argv)
    scopes = args.scope or ["payments:x402"]
    try:
        issuer, paths = write_files(
            args.directory,
            agent_did=args.agent,
            issuer_did=args.issuer_did,
            scopes=scopes,
            valid_for=timedelta(hours=args.hours),
            force=args.force,
        )
    except FileExistsError as exc:
        err.write(f"python -m quorvel_trellane.testing: already there (--force replaces them): {exc}\n")
        return 2
    except OSError as exc:
        err.write(
            f"python -m quorvel_trellane.testing: cannot write {exc.filename or args.directory}: {exc.strerror or exc}\n"
        )
        return 2
    shown = {name: shlex.quote(path) for name, path in paths.items()}
    width = max(len(path) for path in shown.values())
    described = {
        PUBLIC_KEY: f"the issuer's Falcon-1024 public key (base64), kid {issuer.kid}",
        KEY_SET: "its key set document, as an issuer serves it at /.well-known/pqc-keys.json",
        REVOCATION_LIST: f"its revocation list for that kid, as served at /passport/crl/{issuer.kid}.json",
        PASSPORT: f"a passport for {args.agent} ({', '.join(scopes)}), valid {args.hours:g} hour{'' if args.hours == 1 else 's'}",
        REVOKED: f"a second passport, which {REVOCATION_LIST} revokes",
    }
    out.write(f"A throw-away test issuer ({args.issuer_did}) wrote, for trying things out only:\n")
    for name, text in described.items():
        out.write(f"  {shown[name].ljust(width)}  {text}\n")
    out.write("\nTry:\n")
    for line in (
        f"quorvel-passport verify {shown[PASSPORT]} --key {shown[PUBLIC_KEY]} --crl {shown[REVOCATION_LIST]}",
        f"quorvel-passport verify {shown[PASSPORT]} --keys {shown[KEY_SET]} --crl {shown[REVOCATION_LIST]} "
        f"--scope {shlex.quote(scopes[0])}",
        f"quorvel-passport verify {shown[REVOKED]} --keys {shown[KEY_SET]} --crl {shown[REVOCATION_LIST]}",
        f"quorvel-passport inspect {shown[PASSPORT]}",
        f'QUORVEL_AGENT_PASSPORT="$(cat {shown[PASSPORT]})" quorvel-passport present',
    ):
        out.write(f"  {line}\n")
    return 0
