// The module's state: creating its names, visiting and clearing what it
// holds, and the module lookups of one call.
#include "state.hpp"

#include "falcon.hpp"
#include "guard.hpp"
#include "memo.hpp"

#include <initializer_list>

namespace qt {

namespace {

PyObject* make_names_tuple(std::initializer_list<PyObject*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
    return t;
}

}  // namespace

int state_init(ModuleState* st) {
#define QT_INIT_NAME(id, txt)                 \
    st->id = PyUnicode_InternFromString(txt); \
    if (st->id == nullptr) return -1;
    QT_STRINGS(QT_INIT_NAME)
    QT_VERDICT_TEXTS(QT_INIT_NAME)
    QT_GLOBALS(QT_INIT_NAME)
#undef QT_INIT_NAME
    st->kw_decoded = make_names_tuple({st->str_payload, st->str_alg, st->str_kid, st->str_sig, st->str_signed_bytes});
    st->kw_verdict_ok = make_names_tuple({st->str_verified, st->str_status, st->str_agent_did, st->str_scopes,
                                          st->str_spend_limit_microusd, st->str_spend_window, st->str_issuer_did,
                                          st->str_kid, st->str_issued_at, st->str_expires_at});
    st->kw_verdict_fail =
        make_names_tuple({st->str_verified, st->str_status, st->str_agent_did, st->str_scopes,
                          st->str_spend_limit_microusd, st->str_spend_window, st->str_issuer_did, st->str_kid,
                          st->str_issued_at, st->str_expires_at, st->str_error_code, st->str_error_message});
    st->kw_verdict_bad =
        make_names_tuple({st->str_verified, st->str_status, st->str_error_code, st->str_error_message});
    st->kw_validate = make_names_tuple({st->str_validate});
    st->kw_timeout = make_names_tuple({st->str_timeout});
    st->kw_tzinfo = make_names_tuple({st->str_tzinfo});
    st->kw_encoding = make_names_tuple({st->str_encoding});
    st->empty_text = PyUnicode_FromStringAndSize("", 0);
    st->empty_tuple = PyTuple_New(0);
    if (!st->kw_decoded || !st->kw_verdict_ok || !st->kw_verdict_fail || !st->kw_verdict_bad || !st->kw_validate ||
        !st->kw_timeout || !st->kw_tzinfo || !st->kw_encoding || !st->empty_text || !st->empty_tuple)
        return -1;
    return 0;
}

int state_traverse(ModuleState* st, visitproc visit, void* arg) {
    Py_VISIT(st->function_type);
    Py_VISIT(st->binascii_error);
    Py_VISIT(st->json_decode_error);
    Py_VISIT(st->decoded_cls);
    Py_VISIT(st->verdict_cls);
    Py_VISIT(st->text_frozenset);
    Py_VISIT(st->falcon_verify);
    Py_VISIT(st->crypto_pair);
    Py_VISIT(st->kid_key);
    Py_VISIT(st->kid_text);
    Py_VISIT(st->rfc8785);
    Py_VISIT(st->rfc8785_dumps);
    return traverse_originals(st->originals, visit, arg);
}

void state_clear(ModuleState* st) {
    delete st->signature_memo;
    st->signature_memo = nullptr;
    delete st->falcon_library;
    st->falcon_library = nullptr;
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->binascii_error);
    Py_CLEAR(st->json_decode_error);
    Py_CLEAR(st->decoded_cls);
    Py_CLEAR(st->verdict_cls);
    Py_CLEAR(st->text_frozenset);
    Py_CLEAR(st->falcon_verify);
    Py_CLEAR(st->crypto_pair);
    Py_CLEAR(st->kid_key);
    Py_CLEAR(st->kid_text);
    Py_CLEAR(st->rfc8785);
    Py_CLEAR(st->rfc8785_dumps);
    drop_originals(st);
#define QT_CLEAR_NAME(id, txt) Py_CLEAR(st->id);
    QT_STRINGS(QT_CLEAR_NAME)
    QT_VERDICT_TEXTS(QT_CLEAR_NAME)
    QT_GLOBALS(QT_CLEAR_NAME)
#undef QT_CLEAR_NAME
    Py_CLEAR(st->kw_decoded);
    Py_CLEAR(st->kw_verdict_ok);
    Py_CLEAR(st->kw_verdict_fail);
    Py_CLEAR(st->kw_verdict_bad);
    Py_CLEAR(st->kw_validate);
    Py_CLEAR(st->kw_timeout);
    Py_CLEAR(st->kw_tzinfo);
    Py_CLEAR(st->kw_encoding);
    Py_CLEAR(st->empty_text);
    Py_CLEAR(st->empty_tuple);
}

Ref Call::global_or_error(PyObject* name) const {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) < 0) return Ref::error();
    // The same report a Python function gives for a deleted global.
    if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::own_or_error(value);
}

Ref Call::global(PyObject* name) const {
    Ref value = global_or_error(name);
    if (!value) throw_error();
    return value;
}

Ref Call::member(PyObject* obj, PyObject* key, PyObject* default_) const {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = nullptr;
        check(PyDict_GetItemRef(obj, key, &value));
        if (value != nullptr) return Ref::own(value);
        return borrow(default_ != nullptr ? default_ : Py_None);
    }
    // Anything else (dict subclasses included) answers through its own get.
    Ref keep = borrow(obj);  // obj must outlive its own method call
    if (default_ != nullptr) return call_method(obj, st->str_get, key, default_);
    return call_method(obj, st->str_get, key);
}

}  // namespace qt
