// Credential decoding: the base64url and key-id encodings, key coercion,
// the lazily loaded signature primitives, and envelope decoding.
#include "credential.hpp"

#include "base64.hpp"
#include "canonical.hpp"
#include "guard.hpp"
#include "json.hpp"
#include "records.hpp"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>

namespace qt::credential {

namespace {

constexpr const char kInstallHint[] =
    "passport verification needs 'rfc8785' and 'pqcrypto' (pip install 'quorvel-trellane[passport]')";

// (-n) mod 4: how many "=" a base64 text of n characters needs.
Py_ssize_t padding_count(Py_ssize_t n) { return (4 - n % 4) % 4; }

// str.strip() with no argument, for an exact or derived str.
Ref strip_text(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t start = 0;
    Py_ssize_t end = n;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == 0 && end == n && PyUnicode_CheckExact(s)) return borrow(s);
    return own(PyUnicode_Substring(s, start, end));
}

// `s + "=" * pad` for stripped s, with the host's operator for anything
// other than text.
Ref with_padding(PyObject* s) {
    const Py_ssize_t n = check_size(PyObject_Length(s));
    Ref pad = own(PyUnicode_FromStringAndSize("===", padding_count(n)));
    if (PyUnicode_Check(s)) {
        if (PyUnicode_GET_LENGTH(pad.get()) == 0) return borrow(s);
        return own(PyUnicode_Concat(s, pad.get()));
    }
    return own(PyNumber_Add(s, pad.get()));
}

// `_b64u_decode(s)` itself, a decoder: Ref::error() when s does not decode
// (or has no strip, or cannot take the padding), the common failures of a
// malformed credential, reported without unwinding.
Ref b64u_decode_text(const Call& c, PyObject* s) {
    return returning([&] {
        if (PyUnicode_Check(s)) {
            Ref stripped = strip_text(s);
            return base64::urlsafe_b64decode_padded(c, stripped.get(),
                                                    padding_count(PyUnicode_GET_LENGTH(stripped.get())));
        }
        // Anything but text goes through its own strip and `+`, so it fails
        // as the host would report it (no strip method, or bytes + str).
        Ref stripped = Ref::own_or_error(PyObject_CallMethodNoArgs(s, c.st->str_strip));
        if (!stripped) return stripped;
        Ref padded = with_padding(stripped.get());
        return base64::urlsafe_b64decode(c, padded.get());
    });
}

// `_b64u_decode(s)` through the module's binding, as the module's other
// functions call it: the module's own function directly while it is
// bound, else whatever is.
Ref b64u_decode_via_module(const Call& c, PyObject* s) {
    if (originals_in_place(c, Guard::B64uDecode)) return b64u_decode_text(c, s);
    Ref fn = c.global_or_error(c.st->g_b64u_decode);
    if (!fn) return fn;
    return Ref::own_or_error(PyObject_CallOneArg(fn.get(), s));
}

// --- Encodings --------------------------------------------------------------

const Param kB64uDecodeParams[] = {{"s", "str", ParamKind::PositionalOrKeyword, Default::Required}};

Ref b64u_decode_impl(const Call& c, PyObject* const* args) { return b64u_decode_text(c, args[0]); }

const Param kB64uEncodeParams[] = {{"b", "bytes", ParamKind::PositionalOrKeyword, Default::Required}};

Ref b64u_encode_impl(const Call& c, PyObject* const* args) {
    Ref b64 = c.global(c.st->g_base64);
    Ref encode = getattr(b64.get(), c.st->str_urlsafe_b64encode);
    Ref encoded = call(encode.get(), args[0]);
    if (PyBytes_CheckExact(encoded.get())) {
        const char* data = PyBytes_AS_STRING(encoded.get());
        Py_ssize_t n = PyBytes_GET_SIZE(encoded.get());
        while (n > 0 && data[n - 1] == '=') --n;
        return own(PyUnicode_DecodeASCII(data, n, "strict"));
    }
    Ref eq = own(PyBytes_FromStringAndSize("=", 1));
    Ref stripped = call_method(encoded.get(), c.st->str_rstrip, eq.get());
    return call_method(stripped.get(), c.st->str_decode, c.st->str_ascii);
}

constexpr const char kLoadCryptoDoc[] =
    "Lazily import the stock verification primitives.\n\n"
    "Returns ``(rfc8785, falcon_verify)``: the RFC 8785 canonicaliser and the\n"
    "``verify`` function of ``pqcrypto.sign.falcon_1024``. Both are imported on\n"
    "first use only, so that presenting a passport needs neither; a missing one\n"
    "raises :class:`PassportError` with the install hint, caused by the import error.";

// The pair the imports would give again: the module table and the
// verifier's module are watched, and nothing watched has changed since the
// pair was imported.
std::optional<Ref> crypto_unchanged(const Call& c) {
    ModuleState* st = c.st;
    if (st->crypto_pair == nullptr) return std::nullopt;
    const std::optional<std::uint64_t> stamp = watched_stamp(st, {});
    if (!stamp || *stamp != st->crypto_stamp) return std::nullopt;
    return own(PyTuple_Pack(2, PyTuple_GET_ITEM(st->crypto_pair, 0), PyTuple_GET_ITEM(st->crypto_pair, 1)));
}

// Keeps the pair just imported when nothing watched changed while the
// imports ran, and the verifier is what its module's namespace holds.
void remember_crypto(const Call& c, PyObject* pair, std::optional<std::uint64_t> before, PyObject* falcon) {
    ModuleState* st = c.st;
    if (!before || !PyModule_Check(falcon)) return;
    PyObject* falcon_dict = PyModule_GetDict(falcon);                          // borrowed
    PyObject* bound = PyDict_GetItemWithError(falcon_dict, c.st->str_verify);  // borrowed
    if (bound != PyTuple_GET_ITEM(pair, 1)) {
        PyErr_Clear();
        return;
    }
    const std::optional<std::uint64_t> after = watched_stamp(st, {PyImport_GetModuleDict(), falcon_dict});
    if (!after || *after != *before) return;
    Py_XSETREF(st->crypto_pair, Py_NewRef(pair));
    st->crypto_stamp = *after;
}

Ref load_crypto_impl(const Call& c, PyObject* const* /*args*/) {
    if (std::optional<Ref> same = crypto_unchanged(c)) return std::move(*same);
    const std::optional<std::uint64_t> before = watched_stamp(c.st, {PyImport_GetModuleDict()});
    Ref rfc8785 =
        Ref::own_or_error(PyImport_ImportModuleLevelObject(c.st->str_rfc8785, c.globals, nullptr, nullptr, 0));
    Ref falcon;
    Ref falcon_verify;
    if (rfc8785) {
        Ref fromlist = own(PyTuple_Pack(1, c.st->str_verify));
        falcon = Ref::own_or_error(PyImport_ImportModuleLevelObject(c.st->str_pqcrypto_sign_falcon_1024, c.globals,
                                                                    nullptr, fromlist.get(), 0));
        if (falcon) {
            falcon_verify = Ref::own_or_error(PyObject_GetAttr(falcon.get(), c.st->str_verify));
            if (!falcon_verify && PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name 'verify' from '%U'",
                             c.st->str_pqcrypto_sign_falcon_1024);
            }
        }
    }
    if (!falcon_verify) {
        // Only Exception-family errors become the install hint; an
        // interrupt during the import stays what it is.
        if (!error_is_exception()) throw_error();
        Ref err = take_error();
        raise_passport_error(c, kInstallHint, err.get());
    }
    note_verifier(c.st, falcon_verify.get());
    note_canonicaliser(c.st, rfc8785.get());
    Ref pair = own(PyTuple_Pack(2, rfc8785.get(), falcon_verify.get()));
    remember_crypto(c, pair.get(), before, falcon.get());
    return pair;
}

constexpr const char kKidForKeyDoc[] = "The key id an issuer publishes for a public key: ``sha256(pk)[:16]`` (hex).";

const Param kKidForKeyParams[] = {{"public_key", "bytes", ParamKind::PositionalOrKeyword, Default::Required}};

Ref kid_for_key_impl(const Call& c, PyObject* const* args) {
    Ref hashlib = c.global(c.st->g_hashlib);
    Ref sha256 = getattr(hashlib.get(), c.st->str_sha256);
    Ref digest = call(sha256.get(), args[0]);
    Ref hex = call_method(digest.get(), c.st->str_hexdigest);
    if (PyUnicode_Check(hex.get())) return own(PyUnicode_Substring(hex.get(), 0, 16));
    return own(PySequence_GetSlice(hex.get(), 0, 16));
}

constexpr const char kCoerceKeyDoc[] =
    "Accept a Falcon public key as raw bytes or (standard or url-safe) base64 text.\n\n"
    "Text containing '-' or '_' is decoded as url-safe base64; other text is tried\n"
    "as strict standard base64 first, then url-safe. Padding is optional and\n"
    "surrounding whitespace is ignored. Anything else raises :class:`PassportError`.";

const Param kCoerceKeyParams[] = {{"value", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

Ref coerce_key_impl(const Call& c, PyObject* const* args) {
    PyObject* value = args[0];
    if (PyBytes_Check(value)) {
        if (PyBytes_CheckExact(value)) return borrow(value);
        // The stored bytes of a subclass, never what its methods claim.
        return own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
    }
    if (PyByteArray_Check(value))
        return own(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value)));
    if (!PyUnicode_Check(value)) raise_passport_error(c, "issuer key must be bytes or base64 text");

    Ref s = strip_text(value);
    // A non-validating standard decode would drop '-' and '_' and yield
    // wrong bytes, so URL-safe text is recognised first.
    if (PyUnicode_FindChar(s.get(), '-', 0, PY_SSIZE_T_MAX, 1) >= 0 ||
        PyUnicode_FindChar(s.get(), '_', 0, PY_SSIZE_T_MAX, 1) >= 0)
        return base64::urlsafe_b64decode_padded(c, s.get(), padding_count(PyUnicode_GET_LENGTH(s.get())));
    Ref padded = with_padding(s.get());
    if (Ref key = base64::b64decode(c, padded.get(), true)) return key;
    if (!error_is_exception()) throw_error();
    PyErr_Clear();  // the strict attempt's error is not reported
    return base64::urlsafe_b64decode(c, padded.get());
}

// --- Envelope decoding --------------------------------------------------------

constexpr const char kDecodePassportDoc[] =
    "Parse a credential envelope without verifying it. Raises :class:`PassportError`.\n\n"
    "The result carries the payload, the envelope's alg and kid, the signature\n"
    "bytes and the RFC 8785 bytes the signature covers. Nothing has been checked\n"
    "cryptographically: never trust a decoded passport, use :func:`verify_passport`.";

const Param kDecodePassportParams[] = {{"credential", "str", ParamKind::PositionalOrKeyword, Default::Required}};

// A guarded step's failure: an Exception-family error becomes
// PassportError(prefix + str(err)) caused by err; others stay as they
// are. Either way it returns Ref::error().
Ref convert_error(const Call& c, const char* prefix) {
    if (!error_is_exception()) return Ref::error();
    Ref err = take_error();
    Ref detail = str_of(err.get());
    Ref head = text(prefix);
    Ref msg = own(PyUnicode_Concat(head.get(), detail.get()));
    return set_passport_error(c, msg.get(), err.get());
}

// `_b64u_decode(envelope["sig"])`, Ref::error() on failure. The reader may have left plain "sig" text in place (span); while
// the module's _b64u_decode and the url-safe decoder are the originals it
// is decoded from there, as _b64u_decode would decode that text.
Ref decode_sig(const Call& c, PyObject* envelope, const json::TextSpan& span) {
    if (span.data != nullptr) {
        if (originals_in_place(c, Guard::B64uDecode) && originals_in_place(c, Guard::UrlsafeB64decode)) {
            // strip(): the only white space that plain JSON text can hold
            // unescaped is the space itself.
            const char* d = span.data;
            Py_ssize_t n = span.size;
            while (n > 0 && d[0] == ' ') ++d, --n;
            while (n > 0 && d[n - 1] == ' ') --n;
            return base64::urlsafe_b64decode_ascii(c, d, n, padding_count(n));
        }
        Ref text = Ref::own_or_error(PyUnicode_DecodeASCII(span.data, span.size, "strict"));
        return text ? b64u_decode_via_module(c, text.get()) : Ref::error();
    }
    Ref sig_text = Ref::own_or_error(PyObject_GetItem(envelope, c.st->str_sig));
    return sig_text ? b64u_decode_via_module(c, sig_text.get()) : Ref::error();
}

}  // namespace

bool decode_values(const Call& c, PyObject* credential, DecodedValues& out) {
    // A structural defect is the common failure, and verification turns
    // each into a verdict: the steps are decoders that return their errors,
    // and each is converted here without unwinding. The canonicaliser
    // raises its refusals; `returning` reports anything else thrown.
    return returning([&] {
        if (!PyUnicode_Check(credential) || PyUnicode_GET_LENGTH(strip_text(credential).get()) == 0) {
            set_passport_error(c, "credential must be a non-empty string");
            return false;
        }

        Ref raw = b64u_decode_via_module(c, credential);  // owns the characters sig_span points into
        json::TextSpan sig_span;
        Ref envelope = raw ? json::loads(c, raw.get(), &sig_span) : Ref::error();
        if (!envelope) {
            convert_error(c, "malformed credential envelope: ");
            return false;
        }
        if (!PyDict_Check(envelope.get())) {
            set_passport_error(c, "credential envelope is not an object");
            return false;
        }

        Ref payload = c.member(envelope.get(), c.st->str_payload);
        if (!PyDict_Check(payload.get())) {
            set_passport_error(c, "credential payload is not an object");
            return false;
        }

        Ref sig = decode_sig(c, envelope.get(), sig_span);
        if (!sig) {
            convert_error(c, "credential signature is not base64url: ");
            return false;
        }

        // Decoding needs both components importable, though only the
        // canonicaliser is used here.
        Ref loader = c.global(c.st->g_load_crypto);
        Ref pair = call(loader.get());
        Ref rfc8785 = own(PySequence_GetItem(pair.get(), 0));
        Ref dumps = getattr(rfc8785.get(), c.st->str_dumps);
        // A payload the canonicaliser refuses (NaN, an integer beyond its
        // range, a lone surrogate) is a malformed credential, not a fault of
        // the host: verification must turn it into a verdict like any other
        // defect. The native writer refuses nothing itself; it hands such
        // payloads over.
        Ref signed_bytes;
        try {
            signed_bytes = canonical::signed_bytes(c, rfc8785.get(), dumps.get(), payload.get());
        } catch (const PyErrOccurred&) {
            convert_error(c, "credential payload cannot be canonicalised: ");
            return false;
        }

        out.alg = c.member(envelope.get(), c.st->str_alg, c.st->empty_text);
        out.kid = c.member(envelope.get(), c.st->str_kid);
        out.payload = std::move(payload);
        out.sig = std::move(sig);
        out.signed_bytes = std::move(signed_bytes);
        return true;
    });
}

namespace {

Ref decode_passport_impl(const Call& c, PyObject* const* args) {
    DecodedValues d;
    if (!decode_values(c, args[0], d)) return Ref::error();
    Ref cls = c.global(c.st->g_DecodedPassport);
    PyObject* values[] = {d.payload.get(), d.alg.get(), d.kid.get(), d.sig.get(), d.signed_bytes.get()};
    return build_record(c, cls.get(), values, c.st->kw_decoded);
}

}  // namespace

const FunctionDef b64u_decode = {
    "_b64u_decode", "_b64u_decode", kB64uDecodeParams, "bytes", nullptr, b64u_decode_impl,
};
const FunctionDef b64u_encode = {
    "_b64u_encode", "_b64u_encode", kB64uEncodeParams, "str", nullptr, b64u_encode_impl,
};
const FunctionDef load_crypto = {
    "_load_crypto", "_load_crypto", {}, nullptr, kLoadCryptoDoc, load_crypto_impl,
};
const FunctionDef kid_for_key = {
    "kid_for_key", "kid_for_key", kKidForKeyParams, "str", kKidForKeyDoc, kid_for_key_impl,
};
const FunctionDef coerce_key = {
    "_coerce_key", "_coerce_key", kCoerceKeyParams, "bytes", kCoerceKeyDoc, coerce_key_impl,
};
const FunctionDef decode_passport = {
    "decode_passport", "decode_passport",  kDecodePassportParams,
    "DecodedPassport", kDecodePassportDoc, decode_passport_impl,
};

}  // namespace qt::credential
