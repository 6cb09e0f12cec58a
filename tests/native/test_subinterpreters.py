"""The native module in subinterpreters.

It keeps all its state per module and declares per-interpreter GIL
support, so an isolated interpreter (its own GIL) imports it and presents
a credential. Decoding and verifying need the signature components, whose
compiled part (pqcrypto's cffi module) loads only in an interpreter that
shares the main GIL: a legacy-configured one runs those.
"""

import os
import textwrap

import pytest

import quorvel_trellane

_interpreters = pytest.importorskip("_interpreters")

# The directory holding the package, so that each new interpreter imports
# the same build as this one.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(quorvel_trellane.__file__))


def run_in_subinterpreter(config: str, code: str) -> None:
    """Run ``code`` in a fresh interpreter of ``config``; fail with its error."""
    interp = _interpreters.create(config)
    try:
        prelude = f"import sys\nsys.path.insert(0, {PACKAGE_ROOT!r})\n"
        error = _interpreters.run_string(interp, prelude + textwrap.dedent(code))
    finally:
        _interpreters.destroy(interp)
    assert error is None, error.formatted


def present_code(issuer) -> str:
    return """
        from quorvel_trellane import passport
        assert passport.x402_headers("cred") == {"X-Agent-Passport": "cred"}
        assert passport.a2a_message_metadata("cred", {"a": 1}) == {
            "a": 1, "quorvel.com/agent-passport": "cred"}
    """


def decode_and_verify_code(issuer) -> str:
    credential = issuer.issue()
    return f"""
        from quorvel_trellane import passport
        decoded = passport.decode_passport({credential!r})
        assert decoded.kid == {issuer.kid!r}, decoded
        verdict = passport.verify_passport(
            {credential!r}, issuer_keys={issuer.pk!r}, require_revocation_check=False)
        assert verdict.status == "active" and verdict.verified, verdict
    """


CASES = {
    "an isolated interpreter imports the module and presents a credential": ("isolated", present_code),
    "a legacy interpreter imports the module and presents a credential": ("legacy", present_code),
    "a legacy interpreter decodes and verifies a credential": ("legacy", decode_and_verify_code),
}


@pytest.mark.parametrize("config, make_code", CASES.values(), ids=CASES.keys())
def test_module_works_in_a_subinterpreter(issuer, config, make_code):
    run_in_subinterpreter(config, make_code(issuer))


def test_module_is_still_whole_after_subinterpreters_came_and_went(issuer, passport):
    run_in_subinterpreter("isolated", present_code(issuer))
    run_in_subinterpreter("legacy", decode_and_verify_code(issuer))
    verdict = passport.verify_passport(issuer.issue(), issuer_keys=issuer.pk, require_revocation_check=False)
    assert verdict.status == "active"
