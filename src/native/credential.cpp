// Credential model and decoding.
#include "credential.hpp"

#include "canonical.hpp"
#include "codecs.hpp"

#include <iterator>
#include <string>

namespace qt::credential {

namespace {

constexpr const char kInstallHint[] =
    "passport verification needs 'rfc8785' and 'pqcrypto' (pip install 'quorvel-trellane[passport]')";

// (-n) mod 4: how many "=" a base64 text of n characters needs.
Py_ssize_t padding_count(Py_ssize_t n) { return (4 - n % 4) % 4; }

// `s + "=" * pad` for stripped s, with the host's operator for anything
// other than text. Empty with the error set when len() or + fails.
Ref with_padding(PyObject* s) {
    const Py_ssize_t n = PyObject_Length(s);
    if (n < 0) return nullptr;
    Ref pad = own(PyUnicode_FromStringAndSize("===", padding_count(n)));
    if (PyUnicode_Check(s)) {
        if (PyUnicode_GET_LENGTH(pad.get()) == 0) return borrow(s);
        return own(PyUnicode_Concat(s, pad.get()));
    }
    return Ref::own_or_null(PyNumber_Add(s, pad.get()));
}

// `_b64u_decode(s)` itself. Empty with the error set when s does not
// decode (or has no strip, or cannot take the padding): the common
// failures of a malformed credential are reported without unwinding.
Ref b64u_decode_text(const Call& c, PyObject* s) {
    if (PyUnicode_Check(s)) {
        Ref stripped = strip_text(s);
        return codecs::urlsafe_b64decode_padded(c, stripped.get(),
                                                padding_count(PyUnicode_GET_LENGTH(stripped.get())));
    }
    // Anything but text goes through its own strip and `+`, so it fails as
    // the host would report it (no strip method, or bytes + str).
    Ref stripped = Ref::own_or_null(PyObject_CallMethodNoArgs(s, c.st->strip));
    if (!stripped) return nullptr;
    Ref padded = with_padding(stripped.get());
    if (!padded) return nullptr;
    return codecs::urlsafe_b64decode(c, padded.get());
}

// `_b64u_decode(s)` through the module's binding, as the Parts call it:
// the module's own function directly while it is bound, else whatever is.
Ref b64u_decode_via_module(const Call& c, PyObject* s) {
    if (originals_in_place(c, Guard::B64uDecode)) return b64u_decode_text(c, s);
    Ref fn = c.global_or_null(c.st->g_b64u_decode);
    if (!fn) return nullptr;
    return Ref::own_or_null(PyObject_CallOneArg(fn.get(), s));
}

// --- Record accessors -------------------------------------------------------

const Param kSelf[] = {{"self", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

Ref payload_member(const Call& c, PyObject* self, PyObject* key) {
    Ref payload = getattr(self, c.st->payload);
    return get_member(payload.get(), key);
}

Ref agent_did_impl(const Call& c, PyObject* const* a) { return payload_member(c, a[0], c.st->agent_did); }
Ref issuer_did_impl(const Call& c, PyObject* const* a) { return payload_member(c, a[0], c.st->issuer_did); }

Ref scopes_impl(const Call& c, PyObject* const* a) {
    Ref value = payload_member(c, a[0], c.st->scopes);
    if (!truthy(value.get())) return borrow(c.st->empty_tuple);
    // A true value that is not iterable raises the tuple conversion's TypeError.
    return own(PySequence_Tuple(value.get()));
}

// The verdict's truth is its verified field, passed through unconverted:
// a non-bool there makes bool() raise, which is the host's own rule.
Ref verdict_bool_impl(const Call& c, PyObject* const* a) { return getattr(a[0], c.st->verified); }

const FunctionDef kAgentDid = {"agent_did", "DecodedPassport.agent_did", kSelf, 1, "str | None", nullptr,
                                agent_did_impl};
const FunctionDef kIssuerDid = {"issuer_did", "DecodedPassport.issuer_did", kSelf, 1, "str | None", nullptr,
                                 issuer_did_impl};
const FunctionDef kScopes = {"scopes", "DecodedPassport.scopes", kSelf, 1, "tuple[str, ...]", nullptr,
                              scopes_impl};
const FunctionDef kVerdictBool = {"__bool__", "PassportVerdict.__bool__", kSelf, 1, "bool", nullptr,
                                   verdict_bool_impl};

struct Field {
    const char* name;
    const char* annotation;
    enum { Required, NoneDefault, EmptyTuple } default_;
};

const Field kDecodedFields[] = {
    {"payload", "dict", Field::Required},     {"alg", "str", Field::Required},
    {"kid", "str | None", Field::Required},   {"sig", "bytes", Field::Required},
    {"signed_bytes", "bytes", Field::Required},
};

const Field kVerdictFields[] = {
    {"verified", "bool", Field::Required},
    {"status", "str", Field::Required},
    {"agent_did", "str | None", Field::NoneDefault},
    {"scopes", "tuple[str, ...]", Field::EmptyTuple},
    {"spend_limit_microusd", "int | None", Field::NoneDefault},
    {"spend_window", "str | None", Field::NoneDefault},
    {"issuer_did", "str | None", Field::NoneDefault},
    {"kid", "str | None", Field::NoneDefault},
    {"issued_at", "str | None", Field::NoneDefault},
    {"expires_at", "str | None", Field::NoneDefault},
    {"error_code", "str | None", Field::NoneDefault},
    {"error_message", "str | None", Field::NoneDefault},
};

// The class body of a record: module, qualname, doc, text annotations and
// defaults, ready for the frozen dataclass treatment.
Ref record_namespace(const char* name, const char* doc, const Field* fields, size_t nfields) {
    Ref ns = own(PyDict_New());
    Ref module_name = text("quorvel_trellane.passport");
    Ref qualname = text(name);
    Ref doc_text = text(doc);
    check(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", doc_text.get()));
    Ref annotations = own(PyDict_New());
    for (size_t i = 0; i < nfields; ++i) {
        Ref ann = text(fields[i].annotation);
        check(PyDict_SetItemString(annotations.get(), fields[i].name, ann.get()));
        if (fields[i].default_ == Field::NoneDefault) {
            check(PyDict_SetItemString(ns.get(), fields[i].name, Py_None));
        } else if (fields[i].default_ == Field::EmptyTuple) {
            Ref empty = own(PyTuple_New(0));
            check(PyDict_SetItemString(ns.get(), fields[i].name, empty.get()));
        }
    }
    check(PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()));
    return ns;
}

void add_property(PyObject* module, PyObject* ns, const FunctionDef& fdef) {
    Ref getter = make_function(module, fdef);
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get());
    check(PyDict_SetItemString(ns, fdef.name, prop.get()));
}

// `dataclass(frozen=True)(type(name, (object,), ns))`, bound in the module.
void finish_record(PyObject* module, const char* name, PyObject* ns) {
    Ref cls_name = text(name);
    Ref bases = own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), cls_name.get(), bases.get(), ns);
    Ref dataclass = own(PyObject_GetAttrString(module, "dataclass"));
    Ref kwargs = own(PyDict_New());
    check(PyDict_SetItemString(kwargs.get(), "frozen", Py_True));
    Ref empty = own(PyTuple_New(0));
    Ref decorator = own(PyObject_Call(dataclass.get(), empty.get(), kwargs.get()));
    Ref record = call(decorator.get(), cls.get());
    check(PyModule_AddObjectRef(module, name, record.get()));
}

// --- Encodings --------------------------------------------------------------

const Param kB64uDecodeParams[] = {{"s", "str", ParamKind::PositionalOrKeyword, Default::Required}};

Ref b64u_decode_impl(const Call& c, PyObject* const* a) { return b64u_decode_text(c, a[0]); }

const Param kB64uEncodeParams[] = {{"b", "bytes", ParamKind::PositionalOrKeyword, Default::Required}};

Ref b64u_encode_impl(const Call& c, PyObject* const* a) {
    Ref b64 = c.global(c.st->g_base64);
    Ref encode = getattr(b64.get(), c.st->urlsafe_b64encode);
    Ref encoded = call(encode.get(), a[0]);
    if (PyBytes_CheckExact(encoded.get())) {
        const char* data = PyBytes_AS_STRING(encoded.get());
        Py_ssize_t n = PyBytes_GET_SIZE(encoded.get());
        while (n > 0 && data[n - 1] == '=') --n;
        return own(PyUnicode_DecodeASCII(data, n, "strict"));
    }
    Ref eq = own(PyBytes_FromStringAndSize("=", 1));
    Ref stripped = call_method(encoded.get(), c.st->rstrip, eq.get());
    Ref ascii = text("ascii");
    static PyObject* decode_name = PyUnicode_InternFromString("decode");
    if (decode_name == nullptr) throw_error();
    return call_method(stripped.get(), decode_name, ascii.get());
}

Ref load_crypto_impl(const Call& c, PyObject* const* /*a*/) {
    Ref rfc8785 = Ref::own_or_null(PyImport_ImportModuleLevelObject(c.st->mod_rfc8785, c.globals, nullptr,
                                                                    nullptr, 0));
    Ref falcon_verify;
    if (rfc8785) {
        Ref fromlist = own(PyTuple_Pack(1, c.st->verify));
        Ref falcon = Ref::own_or_null(
            PyImport_ImportModuleLevelObject(c.st->mod_falcon, c.globals, nullptr, fromlist.get(), 0));
        if (falcon) {
            falcon_verify = Ref::own_or_null(PyObject_GetAttr(falcon.get(), c.st->verify));
            if (!falcon_verify && PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name 'verify' from '%U'", c.st->mod_falcon);
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
    state_capture_verifier(c.st, falcon_verify.get());
    note_canonicaliser(c.st, rfc8785.get());
    return own(PyTuple_Pack(2, rfc8785.get(), falcon_verify.get()));
}

const Param kKidParams[] = {{"public_key", "bytes", ParamKind::PositionalOrKeyword, Default::Required}};

Ref kid_for_key_impl(const Call& c, PyObject* const* a) {
    Ref hashlib = c.global(c.st->g_hashlib);
    Ref sha256 = getattr(hashlib.get(), c.st->sha256);
    Ref digest = call(sha256.get(), a[0]);
    Ref hex = call_method(digest.get(), c.st->hexdigest);
    if (PyUnicode_Check(hex.get())) return own(PyUnicode_Substring(hex.get(), 0, 16));
    return own(PySequence_GetSlice(hex.get(), 0, 16));
}

const Param kCoerceParams[] = {{"value", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

Ref coerce_key_impl(const Call& c, PyObject* const* a) {
    PyObject* value = a[0];
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
        return codecs::urlsafe_b64decode_padded(c, s.get(), padding_count(PyUnicode_GET_LENGTH(s.get())));
    Ref padded = with_padding(s.get());
    if (!padded) throw_error();
    if (Ref key = codecs::b64decode(c, padded.get(), true)) return key;
    if (!error_is_exception()) throw_error();
    PyErr_Clear();  // the strict attempt's error is not reported
    return codecs::urlsafe_b64decode(c, padded.get());
}

// --- Envelope decoding --------------------------------------------------------

const Param kDecodeParams[] = {{"credential", "str", ParamKind::PositionalOrKeyword, Default::Required}};

// A guarded step's failure: an Exception-family error becomes
// PassportError(prefix + str(err)) caused by err; others stay as they are.
Ref convert_error(const Call& c, const char* prefix) {
    if (!error_is_exception()) return nullptr;
    Ref err = take_error();
    Ref detail = str_of(err.get());
    Ref msg = own(PyUnicode_FromFormat("%s%U", prefix, detail.get()));
    return set_passport_error(c, msg.get(), err.get());
}

// Step 5: `_b64u_decode(envelope["sig"])`, empty with the error set on
// failure. The reader may have left plain "sig" text in place (span); while
// the module's _b64u_decode and the url-safe decoder are the originals it
// is decoded from there, as _b64u_decode would decode that text.
Ref decode_sig(const Call& c, PyObject* envelope, const codecs::TextSpan& span) {
    if (span.data != nullptr) {
        if (originals_in_place(c, Guard::B64uDecode) && originals_in_place(c, Guard::UrlsafeB64decode)) {
            // strip(): the only white space that plain JSON text can hold
            // unescaped is the space itself.
            const char* d = span.data;
            Py_ssize_t n = span.size;
            while (n > 0 && d[0] == ' ') ++d, --n;
            while (n > 0 && d[n - 1] == ' ') --n;
            return codecs::urlsafe_b64decode_ascii(c, d, n, padding_count(n));
        }
        Ref text = Ref::own_or_null(PyUnicode_DecodeASCII(span.data, span.size, "strict"));
        return text ? b64u_decode_via_module(c, text.get()) : Ref();
    }
    Ref sig_text = Ref::own_or_null(PyObject_GetItem(envelope, c.st->sig));
    return sig_text ? b64u_decode_via_module(c, sig_text.get()) : Ref();
}

Ref decode_passport_impl(const Call& c, PyObject* const* a) {
    PyObject* credential = a[0];
    // Structural defects are returned as set errors, not thrown: they are
    // the common failure and verification turns each into a verdict. The
    // try blocks only catch failures of the interpreter itself, which the
    // guarded steps convert all the same.
    if (!PyUnicode_Check(credential) || PyUnicode_GET_LENGTH(strip_text(credential).get()) == 0)
        return set_passport_error(c, "credential must be a non-empty string");

    Ref envelope;
    Ref raw;  // owns the characters sig_span points into
    codecs::TextSpan sig_span;
    try {
        raw = b64u_decode_via_module(c, credential);
        if (raw) envelope = codecs::json_loads(c, raw.get(), &sig_span);
    } catch (const PyErrOccurred&) {
    }
    if (!envelope) return convert_error(c, "malformed credential envelope: ");
    if (!PyDict_Check(envelope.get())) return set_passport_error(c, "credential envelope is not an object");

    Ref payload = get_member(envelope.get(), c.st->payload);
    if (!PyDict_Check(payload.get())) return set_passport_error(c, "credential payload is not an object");

    Ref sig;
    try {
        sig = decode_sig(c, envelope.get(), sig_span);
    } catch (const PyErrOccurred&) {
    }
    if (!sig) return convert_error(c, "credential signature is not base64url: ");

    // Decoding needs both components importable, though only the
    // canonicaliser is used here.
    Ref load_crypto = c.global(c.st->g_load_crypto);
    Ref pair = call(load_crypto.get());
    Ref rfc8785 = own(PySequence_GetItem(pair.get(), 0));
    Ref dumps = getattr(rfc8785.get(), c.st->dumps);
    // A payload the canonicaliser refuses (NaN, an integer beyond its range,
    // a lone surrogate) is a malformed credential, not a fault of the host:
    // verification must turn it into a verdict like any other defect. The
    // native writer refuses nothing itself; it hands such payloads over.
    Ref signed_bytes;
    try {
        signed_bytes = canonical::signed_bytes(c, rfc8785.get(), dumps.get(), payload.get());
    } catch (const PyErrOccurred&) {
        return convert_error(c, "credential payload cannot be canonicalised: ");
    }

    Ref alg = get_member(envelope.get(), c.st->alg, c.st->empty_text);
    Ref kid = get_member(envelope.get(), c.st->kid);
    Ref cls = c.global(c.st->g_DecodedPassport);
    PyObject* values[] = {payload.get(), alg.get(), kid.get(), sig.get(), signed_bytes.get()};
    return build_record(c, cls.get(), values, c.st->kw_decoded);
}

}  // namespace

void define_classes(PyObject* module) {
    {
        PyObject* err = PyErr_NewExceptionWithDoc(
            "quorvel_trellane.passport.PassportError",
            "A passport credential is structurally malformed (not merely invalid).", PyExc_Exception, nullptr);
        Ref cls = own(err);
        check(PyModule_AddObjectRef(module, "PassportError", cls.get()));
    }
    {
        Ref ns = record_namespace("DecodedPassport", "The parsed envelope of a passport, before any cryptographic check.",
                                  kDecodedFields, std::size(kDecodedFields));
        add_property(module, ns.get(), kAgentDid);
        add_property(module, ns.get(), kIssuerDid);
        add_property(module, ns.get(), kScopes);
        finish_record(module, "DecodedPassport", ns.get());
    }
    {
        Ref ns = record_namespace("PassportVerdict",
                                  "The outcome of verifying a passport. ``verified`` is True only for ``active``.",
                                  kVerdictFields, std::size(kVerdictFields));
        Ref fn = make_function(module, kVerdictBool);
        check(PyDict_SetItemString(ns.get(), "__bool__", fn.get()));
        finish_record(module, "PassportVerdict", ns.get());
    }
}

const FunctionDef b64u_decode = {"_b64u_decode", "_b64u_decode", kB64uDecodeParams, 1, "bytes", nullptr,
                                  b64u_decode_impl};
const FunctionDef b64u_encode = {"_b64u_encode", "_b64u_encode", kB64uEncodeParams, 1, "str", nullptr,
                                  b64u_encode_impl};
const FunctionDef load_crypto = {
    "_load_crypto", "_load_crypto", nullptr, 0, nullptr,
    "Lazily import the stock verification primitives.\n\n"
    "Returns ``(rfc8785, falcon_verify)``: the RFC 8785 canonicaliser and the\n"
    "``verify`` function of ``pqcrypto.sign.falcon_1024``. Both are imported on\n"
    "first use only, so that presenting a passport needs neither; a missing one\n"
    "raises :class:`PassportError` with the install hint, caused by the import error.",
    load_crypto_impl};
const FunctionDef kid_for_key = {"kid_for_key", "kid_for_key", kKidParams, 1, "str",
                                  "The key id an issuer publishes for a public key: ``sha256(pk)[:16]`` (hex).",
                                  kid_for_key_impl};
const FunctionDef coerce_key = {
    "_coerce_key", "_coerce_key", kCoerceParams, 1, "bytes",
    "Accept a Falcon public key as raw bytes or (standard or url-safe) base64 text.\n\n"
    "Text containing '-' or '_' is decoded as url-safe base64; other text is tried\n"
    "as strict standard base64 first, then url-safe. Padding is optional and\n"
    "surrounding whitespace is ignored. Anything else raises :class:`PassportError`.",
    coerce_key_impl};
const FunctionDef decode_passport = {
    "decode_passport", "decode_passport", kDecodeParams, 1, "DecodedPassport",
    "Parse a credential envelope without verifying it. Raises :class:`PassportError`.\n\n"
    "The result carries the payload, the envelope's alg and kid, the signature\n"
    "bytes and the RFC 8785 bytes the signature covers. Nothing has been checked\n"
    "cryptographically: never trust a decoded passport, use :func:`verify_passport`.",
    decode_passport_impl};

}  // namespace qt::credential
