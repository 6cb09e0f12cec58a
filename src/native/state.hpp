// The module's state: the interned names it reads on every call, the
// objects it keeps from import, and what one call sees of its module.
#pragma once
#include "ref.hpp"

#include <datetime.h>

#include <cstdint>

namespace qt {

// Attribute, keyword and module names used on a hot path, interned once
// per module and read as `st->str_<text>`.
#define QT_STRINGS(X)                                             \
    X(str_payload, "payload")                                     \
    X(str_alg, "alg")                                             \
    X(str_kid, "kid")                                             \
    X(str_sig, "sig")                                             \
    X(str_signed_bytes, "signed_bytes")                           \
    X(str_verified, "verified")                                   \
    X(str_status, "status")                                       \
    X(str_agent_did, "agent_did")                                 \
    X(str_scopes, "scopes")                                       \
    X(str_spend_limit_microusd, "spend_limit_microusd")           \
    X(str_spend_window, "spend_window")                           \
    X(str_issuer_did, "issuer_did")                               \
    X(str_issued_at, "issued_at")                                 \
    X(str_expires_at, "expires_at")                               \
    X(str_error_code, "error_code")                               \
    X(str_error_message, "error_message")                         \
    X(str_passport_id, "passport_id")                             \
    X(str_revoked, "revoked")                                     \
    X(str_keys, "keys")                                           \
    X(str_public_key_b64, "public_key_b64")                       \
    X(str_get, "get")                                             \
    X(str_strip, "strip")                                         \
    X(str_rstrip, "rstrip")                                       \
    X(str_read, "read")                                           \
    X(str_read_text, "read_text")                                 \
    X(str_replace, "replace")                                     \
    X(str_hexdigest, "hexdigest")                                 \
    X(str_sha256, "sha256")                                       \
    X(str_loads, "loads")                                         \
    X(str_dumps, "dumps")                                         \
    X(str_verify, "verify")                                       \
    X(str_now, "now")                                             \
    X(str_utc, "utc")                                             \
    X(str_strptime, "strptime")                                   \
    X(str_tzinfo, "tzinfo")                                       \
    X(str_validate, "validate")                                   \
    X(str_timeout, "timeout")                                     \
    X(str_encoding, "encoding")                                   \
    X(str_utf_8, "utf-8")                                         \
    X(str_environ, "environ")                                     \
    X(str_urlopen, "urlopen")                                     \
    X(str_urlsafe_b64decode, "urlsafe_b64decode")                 \
    X(str_urlsafe_b64encode, "urlsafe_b64encode")                 \
    X(str_b64decode, "b64decode")                                 \
    X(str_dunder_enter, "__enter__")                              \
    X(str_dunder_init, "__init__")                                \
    X(str_dunder_exit, "__exit__")                                \
    X(str_rfc8785, "rfc8785")                                     \
    X(str_pqcrypto_sign_falcon_1024, "pqcrypto.sign.falcon_1024") \
    X(str_urllib_request, "urllib.request")                       \
    X(str_pathlib, "pathlib")                                     \
    X(str_os, "os")                                               \
    X(str_Path, "Path")                                           \
    X(str_msg, "msg")                                             \
    X(str_doc, "doc")                                             \
    X(str_pos, "pos")                                             \
    X(str_lineno, "lineno")                                       \
    X(str_colno, "colno")                                         \
    X(str_decode, "decode")                                       \
    X(str_ascii, "ascii")

// Verdict statuses and error codes, each created once per module (the
// status "revoked" is str_revoked above).
#define QT_VERDICT_TEXTS(X)                                   \
    X(str_active, "active")                                   \
    X(str_expired, "expired")                                 \
    X(str_invalid, "invalid")                                 \
    X(str_unverifiable, "unverifiable")                       \
    X(str_INVALID_CREDENTIAL, "INVALID_CREDENTIAL")           \
    X(str_UNSUPPORTED_ALG, "UNSUPPORTED_ALG")                 \
    X(str_UNRESOLVED_ISSUER_KEY, "UNRESOLVED_ISSUER_KEY")     \
    X(str_BAD_ISSUER_KEY, "BAD_ISSUER_KEY")                   \
    X(str_KID_KEY_MISMATCH, "KID_KEY_MISMATCH")               \
    X(str_TAMPERED_SIGNATURE, "TAMPERED_SIGNATURE")           \
    X(str_EXPIRED, "EXPIRED")                                 \
    X(str_REVOCATION_CHECK_FAILED, "REVOCATION_CHECK_FAILED") \
    X(str_REVOCATION_ID_MISSING, "REVOCATION_ID_MISSING")     \
    X(str_REVOKED, "REVOKED")                                 \
    X(str_AGENT_MISMATCH, "AGENT_MISMATCH")                   \
    X(str_SCOPE_NOT_GRANTED, "SCOPE_NOT_GRANTED")

// The keys of module globals read at every call (callers may rebind them):
// `st->g_<name>` is the key only, never the value.
#define QT_GLOBALS(X)                                                 \
    X(g_base64, "base64")                                             \
    X(g_hashlib, "hashlib")                                           \
    X(g_json, "json")                                                 \
    X(g_dataclass, "dataclass")                                       \
    X(g_datetime, "datetime")                                         \
    X(g_timezone, "timezone")                                         \
    X(g_FALCON_1024_PUBLIC_KEY_BYTES, "FALCON_1024_PUBLIC_KEY_BYTES") \
    X(g_ALG, "_ALG")                                                  \
    X(g_TS_FMT, "_TS_FMT")                                            \
    X(g_X402_PASSPORT_HEADER, "X402_PASSPORT_HEADER")                 \
    X(g_A2A_PASSPORT_METADATA_KEY, "A2A_PASSPORT_METADATA_KEY")       \
    X(g_PASSPORT_ENV_VAR, "PASSPORT_ENV_VAR")                         \
    X(g_PassportError, "PassportError")                               \
    X(g_DecodedPassport, "DecodedPassport")                           \
    X(g_PassportVerdict, "PassportVerdict")                           \
    X(g_b64u_decode, "_b64u_decode")                                  \
    X(g_b64u_encode, "_b64u_encode")                                  \
    X(g_load_crypto, "_load_crypto")                                  \
    X(g_kid_for_key, "kid_for_key")                                   \
    X(g_coerce_key, "_coerce_key")                                    \
    X(g_decode_passport, "decode_passport")                           \
    X(g_is_expired, "_is_expired")                                    \
    X(g_revoked_ids, "_revoked_ids")                                  \
    X(g_verify_passport, "verify_passport")                           \
    X(g_resolve_key, "_resolve_key")                                  \
    X(g_get_json, "_get_json")

struct Originals;     // guard.cpp
class SignatureMemo;  // memo.hpp
namespace falcon {
struct Library;  // falcon.hpp
}

struct ModuleState {
    PyObject* function_type;  // the native function type
#define QT_DECLARE_NAME(id, text) PyObject* id;
    QT_STRINGS(QT_DECLARE_NAME)
    QT_VERDICT_TEXTS(QT_DECLARE_NAME)
    QT_GLOBALS(QT_DECLARE_NAME)
#undef QT_DECLARE_NAME
    // Keyword-name tuples for building records and calling with keywords.
    PyObject* kw_decoded;       // payload, alg, kid, sig, signed_bytes
    PyObject* kw_verdict_ok;    // verified .. expires_at (ten names)
    PyObject* kw_verdict_fail;  // all twelve fields
    PyObject* kw_verdict_bad;   // verified, status, error_code, error_message
    PyObject* kw_validate;      // ("validate",)
    PyObject* kw_timeout;       // ("timeout",)
    PyObject* kw_tzinfo;        // ("tzinfo",)
    PyObject* kw_encoding;      // ("encoding",)
    PyObject* empty_text;       // ""
    PyObject* empty_tuple;      // ()

    // The objects bound at import that native code uses directly.
    PyObject* binascii_error;     // binascii.Error, raised by the native decoder
    PyObject* json_decode_error;  // json.decoder.JSONDecodeError, raised by the native reader
    PyObject* decoded_cls;        // DecodedPassport as defined, when it is a type
    PyObject* verdict_cls;        // PassportVerdict as defined, when it is a type
    PyObject* text_frozenset;     // the last revocation frozenset found to hold only exact texts
    PyObject* falcon_verify;      // pqcrypto's Falcon-1024 verify as _load_crypto first loaded it
    PyObject* kid_key;            // the last key whose id was computed (exact bytes) ...
    PyObject* kid_text;           // ... and that id
    // datetime's C API as the module's import found it (set with the
    // originals; a static table that lives as long as the process).
    PyDateTime_CAPI* datetime_api;

    // Genuine signatures already verified (memo.hpp).
    SignatureMemo* signature_memo;
    // The compiled library behind falcon_verify, found when it was first
    // loaded (null when it could not be found as expected).
    falcon::Library* falcon_library;
    // The canonicaliser as _load_crypto first imported it and its dumps
    // then, once seen to be rfc8785's own (NULL before: it loads lazily).
    PyObject* rfc8785;
    PyObject* rfc8785_dumps;
    // What _load_crypto last returned, and the stamp of the watched
    // namespaces (the module table, the verifier's module) before it
    // imported them: the same answer while nothing watched has changed.
    PyObject* crypto_pair;
    std::uint64_t crypto_stamp;

    // Everything each native fast path relies on, as it was at import
    // (guard.cpp); consulted through originals_in_place only.
    Originals* originals;
};

int state_init(ModuleState* st);
int state_traverse(ModuleState* st, visitproc visit, void* arg);
void state_clear(ModuleState* st);

// What a module function sees of its module during one call.
struct Call {
    PyObject* module;   // borrowed; alive for the call
    ModuleState* st;    // the module's state
    PyObject* globals;  // the module's dict, borrowed

    // A module-level name read now, so that rebinding it on the module
    // changes the next call. A missing name raises NameError.
    Ref global(PyObject* name) const;
    // The same, reported without unwinding: Ref::error() with NameError set.
    Ref global_or_error(PyObject* name) const;
    // `obj.get(key, default)` with the host's semantics: exact dicts are
    // read directly, anything else goes through its own get method.
    // default may be NULL, meaning None.
    Ref member(PyObject* obj, PyObject* key, PyObject* default_ = nullptr) const;
};

}  // namespace qt
