"""What ``quorvel-passport`` reads from its command line: credentials, key files, revocation lists, --now.

Imported through :mod:`quorvel_trellane.cli`.
"""

from __future__ import annotations

import base64
import binascii
import json
import os
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any, TextIO

from quorvel_trellane import passport
from quorvel_trellane._internal import components
from quorvel_trellane._internal.presenting import can_be_credential
from quorvel_trellane._internal.revocation import revocation_list_problem
from quorvel_trellane.cli._errors import UsageError


def require_components(command: str) -> None:
    """Refuse to start without the canonicaliser and the Falcon-1024 verifier.

    Without them every credential would come out "invalid": a set-up problem
    reported as a bad passport.
    """
    try:
        components.require_components(command)
    except passport.PassportError as exc:
        raise UsageError(str(exc)) from exc.__cause__


def components_missing() -> bool:
    """Whether the canonicaliser or the Falcon-1024 verifier fails to load."""
    try:
        components.require_components("inspect")
    except passport.PassportError:
        return True
    return False


def decode_unverified(credential: str) -> tuple[Any, Any, int, dict[str, Any]]:
    """The envelope's alg, kid, signature length and payload, with base64 and JSON alone.

    For ``inspect`` where the passport components are not installed: looking
    at a passport needs neither. Structure is checked as the decoder checks
    it, with its messages; nothing is verified.
    """
    text = credential.strip()
    if not text:
        raise UsageError("credential must be a non-empty string")
    try:
        envelope = json.loads(_b64u(text))
    except ValueError as exc:  # binascii.Error and JSON and text decoding errors alike
        raise UsageError(f"malformed credential envelope: {exc}") from exc
    if not isinstance(envelope, dict):
        raise UsageError("credential envelope is not an object")
    payload = envelope.get("payload")
    if not isinstance(payload, dict):
        raise UsageError("credential payload is not an object")
    try:
        sig = _b64u(envelope["sig"])
    except (KeyError, TypeError, ValueError):
        raise UsageError("credential signature is not base64url: 'sig'") from None
    return envelope.get("alg"), envelope.get("kid"), len(sig), payload


def _b64u(text: str) -> bytes:
    if not isinstance(text, str):
        raise TypeError("not text")
    text = text.strip()
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


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


def not_a_file(arg: str, option: str | None = None) -> UsageError:
    problem = "not a regular file" if os.path.exists(arg) else "no such file"
    return UsageError(f"{option + ': ' if option else ''}{problem}: {arg}")


def read_credential(arg: str, stdin: TextIO) -> str:
    """The credential named on the command line: ``-``, a file, or the text."""
    if arg == "-":
        return stdin.read().strip()
    if os.path.isfile(arg):
        try:
            with open(arg, "rb") as handle:
                raw = handle.read()
        except OSError as exc:
            raise UsageError(f"cannot read credential file {arg}: {exc.strerror or exc}") from exc
        return _credential_in(arg, raw)
    if _names_a_file(arg, slash_is_base64=False):
        raise not_a_file(arg)
    return arg.strip()


def _credential_in(path: str, raw: bytes) -> str:
    """The credential text a file holds, or a usage error naming the file and what it holds instead.

    The other files of an issuer (its key, key set, revocation list) and
    notes or binaries end up here by mistake; decoded as a credential they
    would only yield a codec or padding error about no file in particular.
    """
    try:
        text = raw.decode("utf-8").strip()
    except UnicodeDecodeError:
        text = None
    if text is not None and can_be_credential(text):
        return text
    if _is_one_key(raw):
        raise UsageError(f"{path} holds a public key, not a credential: pin it with --key {path}")
    if not text:
        raise UsageError(f"credential file {path} is {'empty' if text == '' else 'not text'}: {_CREDENTIAL_FILE}")
    try:
        doc = json.loads(text)
    except ValueError:
        raise UsageError(f"{path} does not hold a credential: {_CREDENTIAL_FILE}") from None
    if isinstance(doc, dict) and "keys" in doc:
        hint = f"a key set: pass it with --keys {path}"
    elif isinstance(doc, list) or (isinstance(doc, dict) and "revoked" in doc):
        hint = f"a revocation list: pass it with --crl {path}"
    else:
        hint = _CREDENTIAL_FILE
    raise UsageError(f"{path} is a JSON document, not a credential ({hint})")


_CREDENTIAL_FILE = "a credential file holds the passport's base64url text alone (letters, digits, '-' and '_')"


def _is_one_key(raw: bytes) -> bool:
    """Whether ``raw`` is one Falcon-1024 public key, raw or as base64 text."""
    if len(raw) == passport.FALCON_1024_PUBLIC_KEY_BYTES:
        return True
    bare = b"".join(raw.split()).rstrip(b"=")
    try:
        key = base64.b64decode(bare.replace(b"-", b"+").replace(b"_", b"/") + b"=" * (-len(bare) % 4), validate=True)
    except binascii.Error:
        return False
    return len(key) == passport.FALCON_1024_PUBLIC_KEY_BYTES


def _read_json_file(path: str, what: str, option: str) -> Any:
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except (FileNotFoundError, IsADirectoryError) as exc:
        raise not_a_file(path, option) from exc
    except OSError as exc:
        raise UsageError(f"cannot read {what} {path}: {exc.strerror or exc}") from exc
    except ValueError as exc:
        if option == "--keys":
            if _is_one_key(Path(path).read_bytes()):
                raise UsageError(f"--keys: {path} is one key, not a key set: pin it with --key {path}") from exc
            raise UsageError(f"{what} {path} is not JSON: {exc} (to pin one key, pass it with --key {path})") from exc
        raise UsageError(f"{what} {path} is not JSON: {exc}") from exc


def keys_from_file(path: str) -> dict[str, Any]:
    """Trust material from a file: a well-known key document or ``{kid: key}``."""
    doc = _read_json_file(path, "key file", "--keys")
    if isinstance(doc, dict) and "keys" in doc:
        # Read the document with the library's own rules, so that a pinned copy
        # yields exactly the keys that fetching it from the issuer would.
        body = json.dumps(doc).encode("utf-8")
        try:
            keys: dict[str, Any] = passport.resolve_keys_from_wellknown(path, fetch=lambda _url: body)
        except (AttributeError, TypeError) as exc:
            raise UsageError(f'key file {path}: "keys" must be a list of objects') from exc
        if not keys:
            raise UsageError(f"key file {path} holds no usable Falcon-1024 key")
        return keys
    if isinstance(doc, dict) and doc and all(isinstance(v, str) for v in doc.values()):
        return doc
    raise UsageError(
        f'key file {path} must be a well-known key document ({{"keys": [...]}}) or an object mapping kid to base64 key'
    )


def pinned_key(arg: str) -> bytes | str:
    """One pinned key: a file (raw or base64) or base64 text."""
    if not os.path.isfile(arg):
        if _names_a_file(arg, slash_is_base64=True):
            raise not_a_file(arg, "--key")
        return _key_text(arg, "--key: not a key (base64 text of a Falcon-1024 public key)")
    try:
        with open(arg, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise UsageError(f"cannot read key file {arg}: {exc.strerror or exc}") from exc
    if len(raw) == passport.FALCON_1024_PUBLIC_KEY_BYTES:
        return raw
    try:
        text = raw.decode("ascii").strip()
    except UnicodeDecodeError:
        return raw  # the verifier reports its size
    if text.startswith(("{", "[")):
        # A document given where one key was wanted: base64 decoding skips
        # its punctuation and would make some odd-sized "key" of the rest.
        try:
            doc = json.loads(text)
        except ValueError:
            pass
        else:
            if isinstance(doc, dict) and "keys" in doc:
                raise UsageError(f"--key: {arg} is a key set document, not one key: pass it with --keys {arg}")
            raise UsageError(f"--key: {arg} is a JSON document, not a key (a raw or base64 Falcon-1024 public key)")
    return _key_text(text, f"--key: {arg} is not a key (a raw or base64 Falcon-1024 public key)")


def _key_text(text: str, problem: str) -> str:
    # Keys are written in the standard or the url-safe alphabet, padded or not.
    bare = "".join(text.split()).rstrip("=")
    try:
        base64.b64decode(bare.replace("-", "+").replace("_", "/") + "=" * (-len(bare) % 4), validate=True)
    except binascii.Error:
        raise UsageError(problem) from None
    return text


def crl_document(doc: object, where: str) -> Any:
    """A revocation list read from ``where``: a bare list of ids, or a
    document with its list of ids under "revoked". Anything else is
    malformed input naming ``where``: a bare string would reach the
    verifier as a collection of ids, and a document without its list (a
    key file, an error page served as JSON) as "none revoked"."""
    if isinstance(doc, list):
        return doc
    if not isinstance(doc, dict):
        raise UsageError(f'revocation list {where} must be an object with "revoked" or a list of ids')
    problem = revocation_list_problem(doc)
    if problem is not None:
        raise UsageError(f"revocation list {where}: {problem}")
    return doc


def crl_from_file(path: str) -> Any:
    return crl_document(_read_json_file(path, "revocation list", "--crl"), path)


def parse_now(text: str) -> datetime:
    value = text.strip()
    if value[-1:] in ("z", "Z"):
        value = value[:-1] + "+00:00"
    try:
        moment = datetime.fromisoformat(value)
    except ValueError:
        raise UsageError(f"--now: not an ISO 8601 date-time: {text!r}") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    return moment


def earlier(now: datetime, leeway: float) -> datetime:
    """``now`` moved back by ``leeway`` seconds, or a usage error naming --leeway."""
    try:
        return now - timedelta(seconds=leeway)
    except OverflowError:
        raise UsageError(f"--leeway: {leeway:g} seconds is more than a date can go back") from None


def is_url(text: str) -> bool:
    return "://" in text
