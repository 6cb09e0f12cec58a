// Shared support for the native passport module: the owning reference
// handle, checked C API calls, the module state with its interned names,
// and the function-like callable type every module function is made of.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace qt {

// Thrown when a C API call failed: the Python error indicator is already
// set. Entry points called by the interpreter catch it and return NULL/-1.
struct PyErrOccurred {};

[[noreturn]] inline void throw_error() { throw PyErrOccurred{}; }

// A move-only owner of one strong reference.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // No thread state is attached only while the interpreter, shutting
    // down, ends a daemon thread that was inside one of our calls: the
    // thread may no longer touch objects, so its references are left.
    ~Ref() {
        if (p_ != nullptr && PyThreadState_GetUnchecked() != nullptr) Py_DECREF(p_);
    }

    // Take over a new reference; NULL means a Python error is set.
    static Ref own(PyObject* p) {
        if (p == nullptr) throw_error();
        return Ref(p);
    }
    // Take over a new reference that may legitimately be NULL.
    static Ref own_or_null(PyObject* p) noexcept { return Ref(p); }
    // Add a reference to a borrowed pointer (which may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Checked results: a negative status means a Python error is set.
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) throw_error();
    return n;
}
inline Ref own(PyObject* p) { return Ref::own(p); }
inline Ref borrow(PyObject* p) { return Ref::borrow(p); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref text(const char* s) { return own(PyUnicode_FromString(s)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// The error currently set, taken out of the indicator (never NULL).
inline Ref take_error() {
    PyObject* e = PyErr_GetRaisedException();
    if (e == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error expected but none set");
        throw_error();
    }
    return Ref::own_or_null(e);
}
// Put a taken error back and unwind.
[[noreturn]] inline void rethrow(Ref err) {
    PyErr_SetRaisedException(err.release());
    throw_error();
}
// True when the error set is of the host's Exception family; errors
// outside it (KeyboardInterrupt, SystemExit) are never guarded.
inline bool error_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Call helpers: all return new references or throw.
Ref call(PyObject* callable);
Ref call(PyObject* callable, PyObject* a);
Ref call(PyObject* callable, PyObject* a, PyObject* b);
Ref call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c);
Ref call_method(PyObject* obj, PyObject* name);
Ref call_method(PyObject* obj, PyObject* name, PyObject* a);
Ref call_method(PyObject* obj, PyObject* name, PyObject* a, PyObject* b);
Ref getattr(PyObject* obj, PyObject* name);
Ref str_of(PyObject* obj);
Ref repr_of(PyObject* obj);
// `obj.get(key, default)` with the host's semantics: exact dicts are read
// directly, anything else goes through its own get method. default may
// be NULL, meaning None.
Ref get_member(PyObject* obj, PyObject* key, PyObject* default_ = nullptr);
// str.strip() with no argument, for an exact or derived str.
Ref strip_text(PyObject* s);

// Every name used on a hot path, interned once per module.
#define QT_NAMES(X)                                              \
    X(payload, "payload")                                        \
    X(alg, "alg")                                                \
    X(kid, "kid")                                                \
    X(sig, "sig")                                                \
    X(signed_bytes, "signed_bytes")                              \
    X(verified, "verified")                                      \
    X(status, "status")                                          \
    X(agent_did, "agent_did")                                    \
    X(scopes, "scopes")                                          \
    X(spend_limit_microusd, "spend_limit_microusd")              \
    X(spend_window, "spend_window")                              \
    X(issuer_did, "issuer_did")                                  \
    X(issued_at, "issued_at")                                    \
    X(expires_at, "expires_at")                                  \
    X(error_code, "error_code")                                  \
    X(error_message, "error_message")                            \
    X(passport_id, "passport_id")                                \
    X(revoked, "revoked")                                        \
    X(keys, "keys")                                              \
    X(public_key_b64, "public_key_b64")                          \
    X(get, "get")                                                \
    X(strip, "strip")                                            \
    X(rstrip, "rstrip")                                          \
    X(read, "read")                                              \
    X(read_text, "read_text")                                    \
    X(replace, "replace")                                        \
    X(hexdigest, "hexdigest")                                    \
    X(sha256, "sha256")                                          \
    X(loads, "loads")                                            \
    X(dumps, "dumps")                                            \
    X(verify, "verify")                                          \
    X(now, "now")                                                \
    X(utc, "utc")                                                \
    X(strptime, "strptime")                                      \
    X(tzinfo, "tzinfo")                                          \
    X(validate, "validate")                                      \
    X(timeout, "timeout")                                        \
    X(encoding, "encoding")                                      \
    X(utf_8, "utf-8")                                            \
    X(environ, "environ")                                        \
    X(urlopen, "urlopen")                                        \
    X(urlsafe_b64decode, "urlsafe_b64decode")                    \
    X(urlsafe_b64encode, "urlsafe_b64encode")                    \
    X(b64decode, "b64decode")                                    \
    X(enter, "__enter__")                                        \
    X(dunder_init, "__init__")                                   \
    X(exit, "__exit__")                                          \
    X(mod_rfc8785, "rfc8785")                                    \
    X(mod_falcon, "pqcrypto.sign.falcon_1024")                   \
    X(mod_urllib_request, "urllib.request")                      \
    X(mod_pathlib, "pathlib")                                    \
    X(mod_os, "os")                                              \
    X(Path, "Path")                                              \
    X(g_base64, "base64")                                        \
    X(g_hashlib, "hashlib")                                      \
    X(g_json, "json")                                            \
    X(g_dataclass, "dataclass")                                  \
    X(g_datetime, "datetime")                                    \
    X(g_timezone, "timezone")                                    \
    X(g_FALCON_1024_PUBLIC_KEY_BYTES, "FALCON_1024_PUBLIC_KEY_BYTES") \
    X(g_ALG, "_ALG")                                             \
    X(g_TS_FMT, "_TS_FMT")                                       \
    X(g_X402_PASSPORT_HEADER, "X402_PASSPORT_HEADER")            \
    X(g_A2A_PASSPORT_METADATA_KEY, "A2A_PASSPORT_METADATA_KEY")  \
    X(g_PASSPORT_ENV_VAR, "PASSPORT_ENV_VAR")                    \
    X(g_PassportError, "PassportError")                          \
    X(g_DecodedPassport, "DecodedPassport")                      \
    X(g_PassportVerdict, "PassportVerdict")                      \
    X(g_b64u_decode, "_b64u_decode")                             \
    X(g_b64u_encode, "_b64u_encode")                             \
    X(g_load_crypto, "_load_crypto")                             \
    X(g_kid_for_key, "kid_for_key")                              \
    X(g_coerce_key, "_coerce_key")                               \
    X(g_decode_passport, "decode_passport")                      \
    X(g_is_expired, "_is_expired")                               \
    X(g_revoked_ids, "_revoked_ids")                             \
    X(g_verify_passport, "verify_passport")                      \
    X(g_resolve_key, "_resolve_key")                             \
    X(g_get_json, "_get_json")                                   \
    X(msg, "msg")                                                \
    X(doc, "doc")                                                \
    X(pos, "pos")                                                \
    X(lineno, "lineno")                                          \
    X(colno, "colno")

struct Originals;     // support.cpp
class SignatureMemo;  // verify.cpp

struct ModuleState {
    PyObject* function_type;  // the native function type
#define QT_DECLARE_NAME(id, text) PyObject* id;
    QT_NAMES(QT_DECLARE_NAME)
#undef QT_DECLARE_NAME
    // Keyword-name tuples for building records with keywords.
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
    PyObject* binascii_error;  // binascii.Error, raised by the native decoder
    PyObject* json_decode_error;  // json.decoder.JSONDecodeError, raised by the native reader
    PyObject* decoded_cls;     // DecodedPassport as defined, when it is a type
    PyObject* verdict_cls;     // PassportVerdict as defined, when it is a type
    PyObject* text_frozenset;  // the last revocation frozenset found to hold only exact texts
    PyObject* falcon_verify;   // pqcrypto's Falcon-1024 verify as _load_crypto first loaded it
    PyObject* kid_key;         // the last key whose id was computed (exact bytes) ...
    PyObject* kid_text;        // ... and that id

    // Genuine signatures already verified (verify.cpp).
    SignatureMemo* signature_memo;
    // The canonicaliser as _load_crypto first imported it and its dumps
    // then, once seen to be rfc8785's own (NULL before: it loads lazily).
    PyObject* rfc8785;
    PyObject* rfc8785_dumps;

    // Everything each native fast path relies on, as it was at import
    // (support.cpp); consulted through originals_in_place only.
    Originals* originals;
};

// Capture the import-time objects above (after the classes are defined).
void state_capture_originals(PyObject* module, ModuleState* st);
// Capture the Falcon-1024 verify function when first loaded (no-op after).
void state_capture_verifier(ModuleState* st, PyObject* falcon_verify);

// The host functions a native fast path stands in for.
enum class Guard {
    UrlsafeB64decode,  // base64.urlsafe_b64decode
    B64decode,         // base64.b64decode
    JsonLoads,         // json.loads
    Expiry,            // datetime.strptime under _TS_FMT, then replace(tzinfo=timezone.utc)
    DecodedRecord,     // DecodedPassport(**fields)
    VerdictRecord,     // PassportVerdict(**fields)
    RevokedIds,        // the module's own _revoked_ids
    B64uDecode,        // the module's own _b64u_decode
    KidForKey,         // the module's own kid_for_key over hashlib.sha256
    FalconVerify,      // pqcrypto's Falcon-1024 verify, as first loaded
    Canonicaliser,     // rfc8785.dumps as the module's _load_crypto supplies it
    Count
};

int state_init(PyObject* module, ModuleState* st);
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
    // The same, reported without unwinding: empty with NameError set.
    Ref global_or_null(PyObject* name) const;
};

// The one guard of every native fast path: true while everything the host
// function `which` depends on is still what it was when the module was
// imported -- the module's binding of the host module, the host module's
// names that the function and its helpers read, the code, defaults and
// keyword defaults of each of those Python functions, and the class
// attributes and instance state they reach. When it is false the fast path
// must call the host function instead. It never raises.
bool originals_in_place(const Call& c, Guard which);

// Called by _load_crypto with the canonicaliser module each time it is
// imported: the first time it is rfc8785 with its own dumps, that module,
// its dumps and what dumps reads are kept as the originals of
// Guard::Canonicaliser, which holds only from then on. Never raises.
void note_canonicaliser(ModuleState* st, PyObject* rfc8785);

// --- Function-like native callables ------------------------------------

enum class ParamKind { PositionalOrKeyword, KeywordOnly };
enum class Default { Required, None, True, Float6 };

struct Param {
    const char* name;
    const char* annotation;  // source text, or nullptr for none
    ParamKind kind;
    Default default_;
};

// The implementation receives exactly one borrowed object per parameter,
// defaults already applied, and returns a new reference or throws.
using Impl = Ref (*)(const Call& call, PyObject* const* args);

struct FunctionDef {
    const char* name;
    const char* qualname;  // usually the name; "Class.prop" for accessors
    const Param* params;
    Py_ssize_t nparams;
    const char* return_annotation;  // source text, or nullptr
    const char* doc;                // nullptr gives __doc__ None
    Impl impl;
};

// Create the native function type for a module (in the exec slot).
PyObject* make_function_type(PyObject* module);
// Create one function object bound to the module.
Ref make_function(PyObject* module, const FunctionDef& fdef);

// Raise `PassportError(message)` read from the module namespace now, with
// `cause` (may be NULL) attached as __cause__ and __context__.
[[noreturn]] void raise_passport_error(const Call& call, PyObject* message, PyObject* cause = nullptr);
// The same error, set without unwinding: an implementation may return the
// empty Ref this gives, and its caller sees NULL with the error set. Used
// on paths taken for every malformed credential, where a C++ throw would
// cost more than the rest of the call.
Ref set_passport_error(const Call& call, PyObject* message, PyObject* cause = nullptr);
Ref set_passport_error(const Call& call, const char* message, PyObject* cause = nullptr);
[[noreturn]] void raise_passport_error(const Call& call, const char* message, PyObject* cause = nullptr);

// Build a record as `cls(**dict(zip(kwnames, values)))`. While cls is the
// module's own record class with its generated __init__, the fields are
// set directly, as that __init__ would set them; otherwise cls is called.
Ref build_record(const Call& c, PyObject* cls, PyObject* const* values, PyObject* kwnames);

}  // namespace qt
