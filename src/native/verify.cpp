// Offline verification: expiry and revocation inputs, issuer key
// resolution and the verification pipeline.
#include "verify.hpp"

namespace qt::verify {

namespace {

// Whether the current error is an instance of the module's PassportError,
// as it is bound now.
bool error_is_passport_error(const Call& c) {
    Ref cls = c.global(c.st->g_PassportError);
    return PyErr_ExceptionMatches(cls.get()) != 0;
}

// --- Expiry ---------------------------------------------------------------------

const Param kIsExpiredParams[] = {
    {"expires_at", "str | None", ParamKind::PositionalOrKeyword, Default::Required},
    {"now", "datetime", ParamKind::PositionalOrKeyword, Default::Required},
};

Ref is_expired_impl(const Call& c, PyObject* const* a) {
    PyObject* expires_at = a[0];
    PyObject* now = a[1];
    // Fail closed: a missing or unreadable stamp counts as reached.
    if (!truthy(expires_at)) return boolean(true);
    Ref exp;
    try {
        Ref datetime = c.global(c.st->g_datetime);
        Ref fmt = c.global(c.st->g_TS_FMT);
        Ref strptime = getattr(datetime.get(), c.st->strptime);
        Ref parsed = call(strptime.get(), expires_at, fmt.get());
        Ref timezone = c.global(c.st->g_timezone);
        Ref utc = getattr(timezone.get(), c.st->utc);
        Ref replace = getattr(parsed.get(), c.st->replace);
        PyObject* args[] = {utc.get()};
        exp = own(PyObject_Vectorcall(replace.get(), args, 0, c.st->kw_tzinfo));
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
        PyErr_Clear();
        return boolean(true);
    }
    // Outside the guard: a naive or unorderable `now` is the caller's error.
    return own(PyObject_RichCompare(now, exp.get(), Py_GE));
}

// --- Revocation input ---------------------------------------------------------

const Param kRevokedParams[] = {{"crl", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

Ref revoked_ids_impl(const Call& c, PyObject* const* a) {
    PyObject* crl = a[0];
    if (crl == Py_None) return none();
    Ref source = borrow(crl);
    if (PyDict_Check(crl)) {
        Ref empty = own(PyList_New(0));
        source = get_member(crl, c.st->revoked, empty.get());
    }
    try {
        Ref ids = own(PySet_New(nullptr));
        Ref it = own(PyObject_GetIter(source.get()));
        while (true) {
            Ref item = Ref::own_or_null(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) throw_error();
                break;
            }
            if (!PyUnicode_CheckExact(item.get())) item = str_of(item.get());
            check(PySet_Add(ids.get(), item.get()));
        }
        return ids;
    } catch (const PyErrOccurred&) {
        // Only a TypeError means "not a usable shape"; anything else raised
        // while iterating (a failing generator, say) is the caller's own.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        Ref err = take_error();
        raise_passport_error(c, "crl must be a mapping with 'revoked', a list, or None", err.get());
    }
}

// --- Issuer key resolution ------------------------------------------------------

const Param kResolveParams[] = {
    {"issuer_keys", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"kid", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_did", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
};

Ref coerce(const Call& c, PyObject* value) {
    if (value == Py_None) return none();
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), value);
}

Ref resolve_key_impl(const Call& c, PyObject* const* a) {
    PyObject* issuer_keys = a[0];
    PyObject* kid = a[1];
    PyObject* issuer_did = a[2];
    if (issuer_keys == Py_None) return none();
    // Callable before mapping: a callable dict subclass is a resolver.
    if (PyCallable_Check(issuer_keys)) {
        Ref got = call(issuer_keys, kid, issuer_did);
        return coerce(c, got.get());
    }
    if (PyDict_Check(issuer_keys)) {
        Ref keep = borrow(issuer_keys);
        Ref got = get_member(issuer_keys, kid);
        if (got.is(Py_None) && issuer_did != Py_None) got = get_member(issuer_keys, issuer_did);
        return coerce(c, got.get());
    }
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), issuer_keys);
}

// --- The pipeline -------------------------------------------------------------

const Param kVerifyParams[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_keys", nullptr, ParamKind::KeywordOnly, Default::None},
    {"crl", nullptr, ParamKind::KeywordOnly, Default::None},
    {"required_scope", "str | None", ParamKind::KeywordOnly, Default::None},
    {"expected_agent_did", "str | None", ParamKind::KeywordOnly, Default::None},
    {"require_revocation_check", "bool", ParamKind::KeywordOnly, Default::True},
    {"now", "datetime | None", ParamKind::KeywordOnly, Default::None},
};

// The working values fixed once the credential is decoded; every failing
// verdict after that point carries them.
struct Working {
    Ref payload, kid, agent_did, scopes, issuer_did, expires_at, issued_at;
};

Ref fail(const Call& c, const Working& w, const char* status, const char* code, PyObject* message) {
    Ref status_text = text(status);
    Ref code_text = text(code);
    Ref spend_limit = get_member(w.payload.get(), c.st->spend_limit_microusd);
    Ref spend_window = get_member(w.payload.get(), c.st->spend_window);
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {Py_False,          status_text.get(),  w.agent_did.get(), w.scopes.get(),
                          spend_limit.get(), spend_window.get(), w.issuer_did.get(), w.kid.get(),
                          w.issued_at.get(), w.expires_at.get(), code_text.get(),   message};
    return build_record(cls.get(), values, c.st->kw_verdict_fail);
}

Ref fail(const Call& c, const Working& w, const char* status, const char* code, const char* message) {
    Ref msg = text(message);
    return fail(c, w, status, code, msg.get());
}

Ref verify_passport_impl(const Call& c, PyObject* const* a) {
    PyObject* credential = a[0];
    PyObject* issuer_keys = a[1];
    PyObject* crl = a[2];
    PyObject* required_scope = a[3];
    PyObject* expected_agent_did = a[4];
    PyObject* require_revocation_check = a[5];
    Ref now = borrow(a[6]);

    if (!truthy(now.get())) {
        Ref datetime = c.global(c.st->g_datetime);
        Ref timezone = c.global(c.st->g_timezone);
        Ref utc = getattr(timezone.get(), c.st->utc);
        Ref now_fn = getattr(datetime.get(), c.st->now);
        now = call(now_fn.get(), utc.get());
    }

    Ref dec;
    try {
        Ref decode = c.global(c.st->g_decode_passport);
        dec = call(decode.get(), credential);
    } catch (const PyErrOccurred&) {
        if (!error_is_passport_error(c)) throw;
        Ref err = take_error();
        Ref msg = str_of(err.get());
        Ref status = text("invalid");
        Ref code = text("INVALID_CREDENTIAL");
        Ref cls = c.global(c.st->g_PassportVerdict);
        PyObject* values[] = {Py_False, status.get(), code.get(), msg.get()};
        return build_record(cls.get(), values, c.st->kw_verdict_bad);
    }

    Working w;
    w.payload = getattr(dec.get(), c.st->payload);
    w.kid = getattr(dec.get(), c.st->kid);
    w.agent_did = getattr(dec.get(), c.st->agent_did);
    w.scopes = getattr(dec.get(), c.st->scopes);
    w.issuer_did = getattr(dec.get(), c.st->issuer_did);
    w.expires_at = get_member(w.payload.get(), c.st->expires_at);
    w.issued_at = get_member(w.payload.get(), c.st->issued_at);

    // A missing or empty alg is checked as Falcon-1024 all the same.
    {
        Ref alg = getattr(dec.get(), c.st->alg);
        if (truthy(alg.get())) {
            Ref expected = c.global(c.st->g_ALG);
            Ref differs = own(PyObject_RichCompare(alg.get(), expected.get(), Py_NE));
            if (truthy(differs.get())) {
                Ref shown = repr_of(alg.get());
                Ref msg = own(PyUnicode_FromFormat("unsupported alg %U", shown.get()));
                return fail(c, w, "invalid", "UNSUPPORTED_ALG", msg.get());
            }
        }
    }

    Ref pk;
    try {
        Ref resolve = c.global(c.st->g_resolve_key);
        pk = call(resolve.get(), issuer_keys, w.kid.get(), w.issuer_did.get());
    } catch (const PyErrOccurred&) {
        if (!error_is_passport_error(c)) throw;
        Ref err = take_error();
        Ref msg = str_of(err.get());
        return fail(c, w, "invalid", "INVALID_CREDENTIAL", msg.get());
    }
    if (pk.is(Py_None))
        return fail(c, w, "unverifiable", "UNRESOLVED_ISSUER_KEY", "no issuer key available to verify the signature");

    {
        const Py_ssize_t n = check_size(PyObject_Length(pk.get()));
        Ref length = own(PyLong_FromSsize_t(n));
        Ref expected = c.global(c.st->g_FALCON_1024_PUBLIC_KEY_BYTES);
        Ref differs = own(PyObject_RichCompare(length.get(), expected.get(), Py_NE));
        if (truthy(differs.get())) {
            Ref expected_text = str_of(expected.get());
            Ref msg = own(PyUnicode_FromFormat("issuer key is %zd bytes, expected %U", n, expected_text.get()));
            return fail(c, w, "invalid", "BAD_ISSUER_KEY", msg.get());
        }
    }

    // Without a kid in the credential any key of the right size goes on to
    // the signature check, which then decides alone.
    if (truthy(w.kid.get())) {
        Ref kid_for_key = c.global(c.st->g_kid_for_key);
        Ref computed = call(kid_for_key.get(), pk.get());
        Ref differs = own(PyObject_RichCompare(computed.get(), w.kid.get(), Py_NE));
        if (truthy(differs.get()))
            return fail(c, w, "invalid", "KID_KEY_MISMATCH", "resolved key does not match the credential kid");
    }

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
        Ref signed_bytes = getattr(dec.get(), c.st->signed_bytes);
        Ref sig = getattr(dec.get(), c.st->sig);
        Ref result = call(falcon_verify.get(), pk.get(), signed_bytes.get(), sig.get());
        sig_ok = truthy(result.get());
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
        PyErr_Clear();
        sig_ok = false;
    }
    if (!sig_ok) return fail(c, w, "invalid", "TAMPERED_SIGNATURE", "signature verification failed");

    {
        Ref is_expired = c.global(c.st->g_is_expired);
        Ref expired = call(is_expired.get(), w.expires_at.get(), now.get());
        if (truthy(expired.get())) return fail(c, w, "expired", "EXPIRED", "credential has expired");
    }

    // Revocation is looked at only for a genuine, unexpired credential, so
    // an unusable crl is raised only then.
    Ref revoked;
    {
        Ref revoked_ids = c.global(c.st->g_revoked_ids);
        revoked = call(revoked_ids.get(), crl);
    }
    Ref passport_id;
    {
        Ref raw = get_member(w.payload.get(), c.st->passport_id);
        passport_id = truthy(raw.get()) ? str_of(raw.get()) : borrow(c.st->empty_text);
    }
    if (revoked.is(Py_None)) {
        if (truthy(require_revocation_check))
            return fail(c, w, "unverifiable", "REVOCATION_CHECK_FAILED", "could not confirm revocation status");
    } else if (PyUnicode_Check(passport_id.get()) && PyUnicode_GET_LENGTH(passport_id.get()) == 0) {
        if (truthy(require_revocation_check))
            return fail(c, w, "unverifiable", "REVOCATION_ID_MISSING",
                        "credential has no passport_id to check against the CRL");
    } else if (check(PySequence_Contains(revoked.get(), passport_id.get()))) {
        return fail(c, w, "revoked", "REVOKED", "credential has been revoked");
    }

    if (truthy(expected_agent_did)) {
        Ref differs = own(PyObject_RichCompare(expected_agent_did, w.agent_did.get(), Py_NE));
        if (truthy(differs.get()))
            return fail(c, w, "active", "AGENT_MISMATCH", "agent_did does not match expected");
    }
    if (truthy(required_scope) && !check(PySequence_Contains(w.scopes.get(), required_scope))) {
        Ref shown = repr_of(required_scope);
        Ref msg = own(PyUnicode_FromFormat("scope %U not granted", shown.get()));
        return fail(c, w, "active", "SCOPE_NOT_GRANTED", msg.get());
    }

    Ref status = text("active");
    Ref spend_limit = get_member(w.payload.get(), c.st->spend_limit_microusd);
    Ref spend_window = get_member(w.payload.get(), c.st->spend_window);
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {Py_True,           status.get(),       w.agent_did.get(),  w.scopes.get(),
                          spend_limit.get(), spend_window.get(), w.issuer_did.get(), w.kid.get(),
                          w.issued_at.get(), w.expires_at.get()};
    return build_record(cls.get(), values, c.st->kw_verdict_ok);
}

}  // namespace

const FunctionSpec is_expired = {"_is_expired", "_is_expired", kIsExpiredParams, 2, "bool", nullptr,
                                 is_expired_impl};
const FunctionSpec revoked_ids = {
    "_revoked_ids", "_revoked_ids", kRevokedParams, 1, "set[str] | None",
    "Normalise a CRL argument to a set of revoked passport ids, or None if absent.\n\n"
    "Accepts None (no revocation data), a revocation list document (a dict whose\n"
    "'revoked' member lists the ids; missing means none revoked) or any iterable\n"
    "of ids. Every id is compared as text. Anything that cannot be iterated\n"
    "raises :class:`PassportError`.",
    revoked_ids_impl};
const FunctionSpec resolve_key = {"_resolve_key", "_resolve_key", kResolveParams, 3, "bytes | None", nullptr,
                                  resolve_key_impl};
const FunctionSpec verify_passport = {
    "verify_passport", "verify_passport", kVerifyParams, 7, "PassportVerdict",
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
    "raises instead of returning a verdict.",
    verify_passport_impl};

}  // namespace qt::verify
