// Issuer key resolution and the key id of a resolved key.
#include "keys.hpp"

#include "guard.hpp"

#include <cstring>

namespace qt::keys {

namespace {

const Param kResolveKeyParams[] = {
    {"issuer_keys", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"kid", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_did", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
};

Ref coerce(const Call& c, PyObject* value) {
    if (value == Py_None) return none();
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), value);
}

// `mapping.get(key)`, or None without a lookup when the key cannot be
// hashed. The kid and issuer DID come from the credential unsigned and may
// be any JSON value: a list or an object there means "no entry", never an
// error the credential could make the verifier raise.
Ref lookup_if_hashable(const Call& c, PyObject* mapping, PyObject* key) {
    if (PyObject_Hash(key) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        return none();
    }
    return c.member(mapping, key);
}

Ref resolve_key_impl(const Call& c, PyObject* const* args) {
    PyObject* issuer_keys = args[0];
    PyObject* kid = args[1];
    PyObject* issuer_did = args[2];
    if (issuer_keys == Py_None) return none();
    // Callable before mapping: a callable dict subclass is a resolver.
    if (PyCallable_Check(issuer_keys)) {
        Ref got = call(issuer_keys, kid, issuer_did);
        return coerce(c, got.get());
    }
    if (PyDict_Check(issuer_keys)) {
        Ref keep = borrow(issuer_keys);
        Ref got = lookup_if_hashable(c, issuer_keys, kid);
        if (got.is(Py_None) && issuer_did != Py_None) got = lookup_if_hashable(c, issuer_keys, issuer_did);
        return coerce(c, got.get());
    }
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), issuer_keys);
}

}  // namespace

// `kid_for_key(pk)` as the module binds it. A trust store hands over the
// same key again and again; while kid_for_key is the module's own over the
// host's SHA-256 (a pure function of the bytes), the id of the last key is
// kept and reused for equal bytes.
Ref key_id(const Call& c, PyObject* pk) {
    const bool pure = PyBytes_CheckExact(pk) && originals_in_place(c, Guard::KidForKey);
    if (pure && c.st->kid_key != nullptr) {
        PyObject* last = c.st->kid_key;
        if (last == pk || (PyBytes_GET_SIZE(last) == PyBytes_GET_SIZE(pk) &&
                           std::memcmp(PyBytes_AS_STRING(last), PyBytes_AS_STRING(pk),
                                       static_cast<size_t>(PyBytes_GET_SIZE(pk))) == 0))
            return borrow(c.st->kid_text);
    }
    Ref kid_for_key = c.global(c.st->g_kid_for_key);
    Ref computed = call(kid_for_key.get(), pk);
    if (pure && PyUnicode_CheckExact(computed.get())) {
        Py_XSETREF(c.st->kid_key, Py_NewRef(pk));
        Py_XSETREF(c.st->kid_text, Py_NewRef(computed.get()));
    }
    return computed;
}

const FunctionDef resolve_key = {
    "_resolve_key", "_resolve_key", kResolveKeyParams, "bytes | None", nullptr, resolve_key_impl,
};

}  // namespace qt::keys
