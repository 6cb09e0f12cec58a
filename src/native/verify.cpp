// Offline verification: the pipeline of ordered checks behind
// verify_passport, and the signature check's shortcuts (the memo of genuine
// signatures and the compiled Falcon-1024 check).
#include "verify.hpp"

#include "credential.hpp"
#include "falcon.hpp"
#include "guard.hpp"
#include "inputs.hpp"
#include "internals.hpp"
#include "keys.hpp"
#include "memo.hpp"
#include "records.hpp"

#include <optional>

namespace qt::verify {

namespace {

// Whether the current error is an instance of the module's PassportError,
// as it is bound now.
bool error_is_passport_error(const Call& c) {
    Ref cls = c.global(c.st->g_PassportError);
    return PyErr_ExceptionMatches(cls.get()) != 0;
}

// --- The signature check's shortcuts ---------------------------------------------

// The memo, when the verifier is the one it may stand for and all three
// inputs are exact byte strings; null otherwise.
SignatureMemo* memo_for(const Call& c, PyObject* falcon_verify, PyObject* pk, PyObject* msg, PyObject* sig) {
    if (falcon_verify != c.st->falcon_verify || falcon_verify == nullptr || !PyBytes_CheckExact(pk) ||
        !PyBytes_CheckExact(msg) || !PyBytes_CheckExact(sig) || !originals_in_place(c, Guard::FalconVerify))
        return nullptr;
    if (c.st->signature_memo == nullptr) c.st->signature_memo = new SignatureMemo();
    return c.st->signature_memo;
}

// pqcrypto's verify(pk, msg, sig) by its compiled library, where the memo
// may stand for the verifier (the verifier is the original, all three inputs
// exact byte strings) and the sizes are those the wrapper lets through:
// `0 == check(sig, len(sig), msg, len(msg), pk)`, decided as the library's
// check decides it (falcon.cpp), with the GIL released as the wrapper's
// call does. nullopt when the wrapper is to be called, which is also the
// case while a profile or trace function watches the thread, so that such
// tools see the call they would see.
std::optional<bool> falcon_check(const Call& c, const SignatureMemo* memo, PyObject* pk, PyObject* msg, PyObject* sig) {
    if (memo == nullptr || c.st->falcon_library == nullptr) return std::nullopt;
    // A copy: the state may be cleared while the GIL is released.
    const falcon::Entry entry = c.st->falcon_library->entry();
    if (PyBytes_GET_SIZE(pk) != entry.key_bytes || PyBytes_GET_SIZE(sig) > entry.max_sig_bytes) return std::nullopt;
    const PyThreadState* ts = PyThreadState_GetUnchecked();
    if (ts == nullptr || internals::thread_watched(ts)) return std::nullopt;
    const auto* s = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(sig));
    const auto* m = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(msg));
    const auto* k = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(pk));
    const auto slen = static_cast<size_t>(PyBytes_GET_SIZE(sig));
    const auto mlen = static_cast<size_t>(PyBytes_GET_SIZE(msg));
    falcon::KeyForm key;
    c.st->falcon_library->recall(k, key);
    const bool known = key.ready;
    bool ok;
    Py_BEGIN_ALLOW_THREADS ok = falcon::verifies(entry, s, slen, m, mlen, k, key);
    Py_END_ALLOW_THREADS;
    if (!known && key.ready && c.st->falcon_library != nullptr) c.st->falcon_library->remember(k, key);
    return ok;
}

// --- The pipeline -------------------------------------------------------------
//
// Verification is an ordered list of checks (kChecks below). Each check
// returns a verdict, which ends verification, or nothing, and the next one
// runs; the first failure decides. A check that raises ends the call with
// its error: misuse of the arguments is the caller's error, not a verdict.

// The working values fixed once the credential is decoded; every failing
// verdict after that point carries them.
struct Working {
    Ref payload, kid, agent_did, scopes, issuer_did, expires_at, issued_at;
};

// What the checks read and what earlier checks leave for later ones.
struct Verification {
    const Call& c;
    PyObject* credential;
    PyObject* issuer_keys;
    PyObject* crl;
    PyObject* required_scope;
    PyObject* expected_agent_did;
    PyObject* require_revocation_check;
    Ref now;  // the verification time
    // The decoded passport (from check_envelope on): the record
    // decode_passport returned, or, where that record would only be read
    // back field by field, its fields themselves.
    Ref dec;
    std::optional<credential::DecodedValues> decoded;
    Working w;  // its working values (from check_payload on)
    Ref pk;     // the issuer key (from check_key_resolves on)
};

// A verdict, or nullopt: the next check runs.
using Verdict = std::optional<Ref>;

// A verdict carrying the working values. Without a code it is the success
// verdict, built without the two error fields so they keep their defaults.
Ref verdict(const Verification& v, PyObject* status, PyObject* code, PyObject* message) {
    const Call& c = v.c;
    const Working& w = v.w;
    Ref spend_limit = c.member(w.payload.get(), c.st->str_spend_limit_microusd);
    Ref spend_window = c.member(w.payload.get(), c.st->str_spend_window);
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {code != nullptr ? Py_False : Py_True,
                          status,
                          w.agent_did.get(),
                          w.scopes.get(),
                          spend_limit.get(),
                          spend_window.get(),
                          w.issuer_did.get(),
                          w.kid.get(),
                          w.issued_at.get(),
                          w.expires_at.get(),
                          code,
                          message};
    return build_record(c, cls.get(), values, code != nullptr ? c.st->kw_verdict_fail : c.st->kw_verdict_ok);
}

Ref fail(const Verification& v, PyObject* status, PyObject* code, PyObject* message) {
    return verdict(v, status, code, message);
}

Ref fail(const Verification& v, PyObject* status, PyObject* code, const char* message) {
    Ref msg = text(message);
    return verdict(v, status, code, msg.get());
}

// The verdict for a credential refused before its working values are
// known: every identifying field stays at its record default.
Ref invalid_credential(const Call& c, PyObject* message) {
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {Py_False, c.st->str_invalid, c.st->str_INVALID_CREDENTIAL, message};
    return build_record(c, cls.get(), values, c.st->kw_verdict_bad);
}

// `left != right`, by the host's rules.
bool differ(PyObject* left, PyObject* right) {
    Ref differs = own(PyObject_RichCompare(left, right, Py_NE));
    return truthy(differs.get());
}

// The credential decodes (through the module's decode_passport); its
// PassportError becomes the invalid verdict.
Verdict check_envelope(Verification& v) {
    const Call& c = v.c;
    if (originals_in_place(c, Guard::DecodeForVerify) && originals_in_place(c, Guard::DecodedRecord)) {
        // The module's own decode_passport and record: nobody but this
        // call would see the record, and reading its fields and
        // properties back runs nothing but the module's own code.
        credential::DecodedValues values;
        if (credential::decode_values(c, v.credential, values)) {
            v.decoded = std::move(values);
            return std::nullopt;
        }
    } else {
        Ref decode = c.global(c.st->g_decode_passport);
        v.dec = Ref::own_or_error(PyObject_Vectorcall(decode.get(), &v.credential, 1, nullptr));
        if (v.dec) return std::nullopt;
    }
    if (!error_is_passport_error(c)) throw_error();
    Ref err = take_error();
    Ref msg = str_of(err.get());
    return invalid_credential(c, msg.get());
}

// The working values can be read. A payload member of the wrong shape
// ("scopes": true is not iterable) is the credential's defect: a verdict,
// not an error.
Verdict check_payload(Verification& v) {
    const Call& c = v.c;
    Working& w = v.w;
    try {
        if (v.decoded) {
            // As the record's fields and properties give them.
            w.payload = v.decoded->payload.copy();
            w.kid = v.decoded->kid.copy();
            w.agent_did = records::agent_did_of(c, w.payload.get());
            w.scopes = records::scopes_of(c, w.payload.get());
            w.issuer_did = records::issuer_did_of(c, w.payload.get());
        } else {
            w.payload = getattr(v.dec.get(), c.st->str_payload);
            w.kid = getattr(v.dec.get(), c.st->str_kid);
            w.agent_did = getattr(v.dec.get(), c.st->str_agent_did);
            w.scopes = getattr(v.dec.get(), c.st->str_scopes);
            w.issuer_did = getattr(v.dec.get(), c.st->str_issuer_did);
        }
        w.expires_at = c.member(w.payload.get(), c.st->str_expires_at);
        w.issued_at = c.member(w.payload.get(), c.st->str_issued_at);
        return std::nullopt;
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
    }
    Ref err = take_error();
    Ref detail = str_of(err.get());
    Ref msg = own(PyUnicode_FromFormat("malformed credential payload: %U", detail.get()));
    return invalid_credential(c, msg.get());
}

// The alg is Falcon-1024; a missing or empty alg is checked as Falcon-1024
// all the same.
Verdict check_alg(Verification& v) {
    const Call& c = v.c;
    Ref alg = v.decoded ? v.decoded->alg.copy() : getattr(v.dec.get(), c.st->str_alg);
    if (!truthy(alg.get())) return std::nullopt;
    Ref expected = c.global(c.st->g_ALG);
    if (!differ(alg.get(), expected.get())) return std::nullopt;
    Ref shown = repr_of(alg.get());
    Ref msg = own(PyUnicode_FromFormat("unsupported alg %U", shown.get()));
    return fail(v, c.st->str_invalid, c.st->str_UNSUPPORTED_ALG, msg.get());
}

// An issuer key resolves (through the module's _resolve_key); its
// PassportError is the credential's defect, no key at all fails closed.
Verdict check_key_resolves(Verification& v) {
    const Call& c = v.c;
    try {
        Ref resolve = c.global(c.st->g_resolve_key);
        v.pk = call(resolve.get(), v.issuer_keys, v.w.kid.get(), v.w.issuer_did.get());
    } catch (const PyErrOccurred&) {
        if (!error_is_passport_error(c)) throw;
        Ref err = take_error();
        Ref msg = str_of(err.get());
        return fail(v, c.st->str_invalid, c.st->str_INVALID_CREDENTIAL, msg.get());
    }
    if (!v.pk.is(Py_None)) return std::nullopt;
    return fail(v, c.st->str_unverifiable, c.st->str_UNRESOLVED_ISSUER_KEY,
                "no issuer key available to verify the signature");
}

// The key has the size of a Falcon-1024 public key.
Verdict check_key_size(Verification& v) {
    const Call& c = v.c;
    const Py_ssize_t n = check_size(PyObject_Length(v.pk.get()));
    Ref length = own(PyLong_FromSsize_t(n));
    Ref expected = c.global(c.st->g_FALCON_1024_PUBLIC_KEY_BYTES);
    if (!differ(length.get(), expected.get())) return std::nullopt;
    Ref expected_text = str_of(expected.get());
    Ref msg = own(PyUnicode_FromFormat("issuer key is %zd bytes, expected %U", n, expected_text.get()));
    return fail(v, c.st->str_invalid, c.st->str_BAD_ISSUER_KEY, msg.get());
}

// The key is the one the credential's kid names. Without a kid any key of
// the right size goes on to the signature check, which then decides alone.
Verdict check_kid(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.w.kid.get())) return std::nullopt;
    Ref computed = keys::key_id(c, v.pk.get());
    if (!differ(computed.get(), v.w.kid.get())) return std::nullopt;
    return fail(v, c.st->str_invalid, c.st->str_KID_KEY_MISMATCH, "resolved key does not match the credential kid");
}

// The Falcon-1024 signature over the signed bytes verifies.
Verdict check_signature(Verification& v) {
    const Call& c = v.c;
    Ref falcon_verify;
    {
        Ref load_crypto = c.global(c.st->g_load_crypto);
        Ref pair = call(load_crypto.get());
        falcon_verify = own(PySequence_GetItem(pair.get(), 1));
    }
    // A verifier may report a bad signature by returning false or by
    // raising; both are a tampered signature. Interrupts still propagate.
    bool sig_ok = false;
    try {
        Ref signed_bytes = v.decoded ? v.decoded->signed_bytes.copy() : getattr(v.dec.get(), c.st->str_signed_bytes);
        Ref sig = v.decoded ? v.decoded->sig.copy() : getattr(v.dec.get(), c.st->str_sig);
        PyObject* pk = v.pk.get();
        SignatureMemo* memo = memo_for(c, falcon_verify.get(), pk, signed_bytes.get(), sig.get());
        std::optional<SignatureMemo::Key> key;
        if (memo != nullptr) key.emplace(pk, signed_bytes.get(), sig.get());
        if (memo != nullptr && memo->contains(*key)) {
            sig_ok = true;
        } else if (std::optional<bool> checked = falcon_check(c, memo, pk, signed_bytes.get(), sig.get())) {
            sig_ok = *checked;
            if (sig_ok) memo->add(*key);
        } else {
            Ref result = call(falcon_verify.get(), pk, signed_bytes.get(), sig.get());
            sig_ok = truthy(result.get());
            // Only the verifier's own True is remembered.
            if (memo != nullptr && result.is(Py_True)) memo->add(*key);
        }
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
        PyErr_Clear();
        sig_ok = false;
    }
    if (sig_ok) return std::nullopt;
    return fail(v, c.st->str_invalid, c.st->str_TAMPERED_SIGNATURE, "signature verification failed");
}

// The credential has not expired (through the module's _is_expired).
Verdict check_expiry(Verification& v) {
    const Call& c = v.c;
    Ref is_expired = c.global(c.st->g_is_expired);
    Ref expired = call(is_expired.get(), v.w.expires_at.get(), v.now.get());
    if (!truthy(expired.get())) return std::nullopt;
    return fail(v, c.st->str_expired, c.st->str_EXPIRED, "credential has expired");
}

// The credential is not revoked. Revocation is looked at only for a
// genuine, unexpired credential, so an unusable crl is raised only then.
Verdict check_revocation(Verification& v) {
    const Call& c = v.c;
    inputs::Revocation revoked = inputs::revocation(c, v.crl, v.w.payload.get());
    PyObject* passport_id = revoked.passport_id.get();
    if (revoked.absent) {
        if (!truthy(v.require_revocation_check)) return std::nullopt;
        return fail(v, c.st->str_unverifiable, c.st->str_REVOCATION_CHECK_FAILED,
                    "could not confirm revocation status");
    }
    if (PyUnicode_Check(passport_id) && PyUnicode_GET_LENGTH(passport_id) == 0) {
        if (!truthy(v.require_revocation_check)) return std::nullopt;
        return fail(v, c.st->str_unverifiable, c.st->str_REVOCATION_ID_MISSING,
                    "credential has no passport_id to check against the CRL");
    }
    const bool is_revoked = revoked.member != inputs::Member::Unknown
                                ? revoked.member == inputs::Member::Yes
                                : check(PySequence_Contains(revoked.set->get(), passport_id)) != 0;
    if (!is_revoked) return std::nullopt;
    return fail(v, c.st->str_revoked, c.st->str_REVOKED, "credential has been revoked");
}

// The agent is the one the caller expects, when it expects one. The
// credential itself is sound: the status stays "active".
Verdict check_agent(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.expected_agent_did) || !differ(v.expected_agent_did, v.w.agent_did.get())) return std::nullopt;
    return fail(v, c.st->str_active, c.st->str_AGENT_MISMATCH, "agent_did does not match expected");
}

// The scope the caller requires is granted, when it requires one.
Verdict check_scope(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.required_scope) || check(PySequence_Contains(v.w.scopes.get(), v.required_scope)))
        return std::nullopt;
    Ref shown = repr_of(v.required_scope);
    Ref msg = own(PyUnicode_FromFormat("scope %U not granted", shown.get()));
    return fail(v, c.st->str_active, c.st->str_SCOPE_NOT_GRANTED, msg.get());
}

// The checks in their order, which is part of the contract: the first
// failure decides the verdict, so reordering changes outcomes.
constexpr Verdict (*kChecks[])(Verification&) = {
    check_envelope,  check_payload, check_alg,        check_key_resolves, check_key_size, check_kid,
    check_signature, check_expiry,  check_revocation, check_agent,        check_scope,
};

constexpr const char kVerifyPassportDoc[] =
    "Verify a passport OFFLINE and return a :class:`PassportVerdict`.\n"
    "\n"
    "No network or file I/O takes place: pass the issuer's key(s) as\n"
    "``issuer_keys`` (a ``{kid: key}`` mapping such as the one\n"
    ":func:`resolve_keys_from_wellknown` returns, with the issuer DID as a\n"
    "fallback key, a single pinned key as bytes or base64 text, or a resolver\n"
    "``resolver(kid, issuer_did)``) and the revocation list as ``crl`` (the\n"
    "document :func:`fetch_crl` returns, or an iterable of revoked ids).\n"
    "\n"
    "Checks run in a fixed order and the first failure decides: the envelope,\n"
    "the algorithm, the issuer key (present, 1793 bytes, matching the kid), the\n"
    "Falcon-1024 signature over the RFC 8785 payload bytes, the expiry, the\n"
    "revocation list, then the caller's ``expected_agent_did`` and\n"
    "``required_scope``.\n"
    "\n"
    "Fails closed: a credential for which no key resolves, or whose revocation\n"
    "status cannot be confirmed while ``require_revocation_check`` is true, is\n"
    "\"unverifiable\"; a missing or unreadable expiry counts as expired. The\n"
    "verdict is true only when ``verified`` is; a failed agent or scope check\n"
    "keeps the status \"active\" with ``verified`` False.\n"
    "\n"
    "``now`` is the verification time, a timezone-aware datetime (UTC by\n"
    "default). Misuse of the arguments (a naive ``now``, an unusable ``crl``)\n"
    "raises instead of returning a verdict.";

const Param kVerifyPassportParams[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_keys", nullptr, ParamKind::KeywordOnly, Default::None},
    {"crl", nullptr, ParamKind::KeywordOnly, Default::None},
    {"required_scope", "str | None", ParamKind::KeywordOnly, Default::None},
    {"expected_agent_did", "str | None", ParamKind::KeywordOnly, Default::None},
    {"require_revocation_check", "bool", ParamKind::KeywordOnly, Default::True},
    {"now", "datetime | None", ParamKind::KeywordOnly, Default::None},
};

Ref verify_passport_impl(const Call& c, PyObject* const* args) {
    Verification v{c, args[0], args[1], args[2], args[3], args[4], args[5]};
    v.now = inputs::verification_time(c, args[6]);
    for (auto check : kChecks)
        if (Verdict decided = check(v)) return std::move(*decided);
    return verdict(v, c.st->str_active, nullptr, nullptr);
}

}  // namespace

const FunctionDef verify_passport = {
    "verify_passport", "verify_passport",  kVerifyPassportParams,
    "PassportVerdict", kVerifyPassportDoc, verify_passport_impl,
};

}  // namespace qt::verify
