// Support shared by every subsystem: call helpers, the module state, and
// the native function type that looks to `inspect` like a Python function.
#include "support.hpp"


#include <datetime.h>
#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <tuple>
#include <vector>

namespace qt {

// --- Call helpers --------------------------------------------------------

Ref call(PyObject* callable) { return own(PyObject_CallNoArgs(callable)); }
Ref call(PyObject* callable, PyObject* a) { return own(PyObject_CallOneArg(callable, a)); }
Ref call(PyObject* callable, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return own(PyObject_Vectorcall(callable, args, 2, nullptr));
}
Ref call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c) {
    PyObject* args[] = {a, b, c};
    return own(PyObject_Vectorcall(callable, args, 3, nullptr));
}
Ref call_method(PyObject* obj, PyObject* name) { return own(PyObject_CallMethodNoArgs(obj, name)); }
Ref call_method(PyObject* obj, PyObject* name, PyObject* a) {
    return own(PyObject_CallMethodOneArg(obj, name, a));
}
Ref call_method(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return own(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
Ref str_of(PyObject* obj) { return own(PyObject_Str(obj)); }
Ref repr_of(PyObject* obj) { return own(PyObject_Repr(obj)); }

Ref get_member(PyObject* obj, PyObject* key, PyObject* default_) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = nullptr;
        check(PyDict_GetItemRef(obj, key, &value));
        if (value != nullptr) return Ref::own(value);
        return borrow(default_ != nullptr ? default_ : Py_None);
    }
    // Anything else (dict subclasses included) answers through its own get.
    // Interned strings are immortal, so one per process is safe to keep.
    static PyObject* get_name = PyUnicode_InternFromString("get");
    if (get_name == nullptr) throw_error();
    Ref keep = borrow(obj);  // obj must outlive its own method call
    if (default_ != nullptr) return call_method(obj, get_name, key, default_);
    return call_method(obj, get_name, key);
}

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

// --- Module state ----------------------------------------------------------

static PyObject* make_names_tuple(std::initializer_list<PyObject*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
    return t;
}

int state_init(PyObject* /*module*/, ModuleState* st) {
#define QT_INIT_NAME(id, txt)                          \
    st->id = PyUnicode_InternFromString(txt);          \
    if (st->id == nullptr) return -1;
    QT_NAMES(QT_INIT_NAME)
#undef QT_INIT_NAME
    st->kw_decoded = make_names_tuple({st->payload, st->alg, st->kid, st->sig, st->signed_bytes});
    st->kw_verdict_ok = make_names_tuple({st->verified, st->status, st->agent_did, st->scopes,
                                          st->spend_limit_microusd, st->spend_window, st->issuer_did,
                                          st->kid, st->issued_at, st->expires_at});
    st->kw_verdict_fail = make_names_tuple({st->verified, st->status, st->agent_did, st->scopes,
                                            st->spend_limit_microusd, st->spend_window,
                                            st->issuer_did, st->kid, st->issued_at, st->expires_at,
                                            st->error_code, st->error_message});
    st->kw_verdict_bad =
        make_names_tuple({st->verified, st->status, st->error_code, st->error_message});
    st->kw_validate = make_names_tuple({st->validate});
    st->kw_timeout = make_names_tuple({st->timeout});
    st->kw_tzinfo = make_names_tuple({st->tzinfo});
    st->kw_encoding = make_names_tuple({st->encoding});
    st->empty_text = PyUnicode_FromStringAndSize("", 0);
    st->empty_tuple = PyTuple_New(0);
    if (!st->kw_decoded || !st->kw_verdict_ok || !st->kw_verdict_fail || !st->kw_verdict_bad ||
        !st->kw_validate || !st->kw_timeout || !st->kw_tzinfo || !st->kw_encoding ||
        !st->empty_text || !st->empty_tuple)
        return -1;
    return 0;
}

// --- The originals each fast path relies on ---------------------------------
//
// A fast path may stand in for a host function only while nothing that
// function depends on has changed since import. Each guard is a set of pins:
// a name in a namespace (module globals, a function's keyword defaults, an
// instance's __dict__) still bound to the same object or still absent, a
// Python function still running the same code with the same defaults, a
// class attribute still the same, an object still of the same class.
//
// Namespace pins are the many; they are checked again only after some
// watched namespace has changed (a dict watcher counts changes), so a guard
// in the steady state costs a few pointer comparisons. Without a free
// watcher slot every pin is checked at every call. The builtins are taken
// as the host's own: a pin on a name the function reads from the builtins
// only checks that its module does not shadow it.

namespace {

// Bumped before any change to a watched namespace takes effect.
std::uint64_t g_namespace_changes = 1;

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_namespace_changes;
    return 0;
}

struct Pin {
    enum Kind { Name, Function, TypeAttr, ExactType, InstanceDict } kind;
    // Owned. Name: (dict, key, value or NULL for absent). Function: (func,
    // code, defaults, kwdefaults). TypeAttr: (type, name, value).
    // ExactType: (object, type). InstanceDict: (object, its __dict__).
    PyObject* a;
    PyObject* b;
    PyObject* c;
    PyObject* d;

    bool holds() const {
        switch (kind) {
            case Name: {
                PyObject* now = PyDict_GetItemWithError(a, b);  // borrowed, compared only
                if (now == nullptr && PyErr_Occurred()) {
                    PyErr_Clear();  // a key that cannot be compared: not the original
                    return false;
                }
                return now == c;
            }
            case Function:
                return PyFunction_GET_CODE(a) == b && PyFunction_GET_DEFAULTS(a) == c &&
                       PyFunction_GET_KW_DEFAULTS(a) == d;
            case TypeAttr:
                return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(a), b) == c;
            case ExactType:
                return reinterpret_cast<PyObject*>(Py_TYPE(a)) == b;
            case InstanceDict: {
                PyObject* now = PyObject_GenericGetDict(a, nullptr);
                if (now == nullptr) {
                    PyErr_Clear();
                    return false;
                }
                Py_DECREF(now);
                return now == b;
            }
        }
        return false;
    }
};

}  // namespace

struct PinSet {
    bool never = false;          // something was not original already at import
    std::vector<Pin> names;      // rechecked only after a watched namespace changed
    std::vector<Pin> direct;     // checked at every call
    std::uint64_t checked = 0;   // the change count at which `names` last held
};

struct Originals {
    int watcher = -1;
    PinSet sets[static_cast<int>(Guard::Count)];
    std::vector<PyObject*> watched;  // owned: the namespaces watched

    // The _strptime module that datetime.strptime imports at its first
    // call. It is not imported here (the import stays light); it is pinned
    // when first seen loaded, if its functions are still the ones its own
    // source file defines.
    PyObject* strptime_name = nullptr;
    PyObject* strptime_module = nullptr;
    PinSet strptime;

    // What rfc8785.dumps reads, pinned when _load_crypto first imports it.
    PinSet canonicaliser;

    ~Originals() { clear(); }

    void clear_set(PinSet& set) {
        for (auto* pins : {&set.names, &set.direct})
            for (Pin& p : *pins) {
                Py_CLEAR(p.a);
                Py_CLEAR(p.b);
                Py_CLEAR(p.c);
                Py_CLEAR(p.d);
            }
        set.names.clear();
        set.direct.clear();
    }

    void clear() {
        for (PyObject* dict : watched) {
            if (watcher >= 0 && PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
            Py_DECREF(dict);
        }
        watched.clear();
        if (watcher >= 0 && PyDict_ClearWatcher(watcher) < 0) PyErr_Clear();
        watcher = -1;
        for (PinSet& set : sets) clear_set(set);
        clear_set(strptime);
        clear_set(canonicaliser);
        Py_CLEAR(strptime_name);
        Py_CLEAR(strptime_module);
    }

    int traverse(visitproc visit, void* arg) {
        auto visit_set = [&](PinSet& set) {
            for (auto* pins : {&set.names, &set.direct})
                for (Pin& p : *pins) {
                    Py_VISIT(p.a);
                    Py_VISIT(p.b);
                    Py_VISIT(p.c);
                    Py_VISIT(p.d);
                }
            return 0;
        };
        for (PinSet& set : sets)
            if (int r = visit_set(set)) return r;
        if (int r = visit_set(strptime)) return r;
        if (int r = visit_set(canonicaliser)) return r;
        for (PyObject* dict : watched) Py_VISIT(dict);
        Py_VISIT(strptime_module);
        return 0;
    }

    bool holds(PinSet& set) {
        if (set.never) return false;
        for (const Pin& p : set.direct)
            if (!p.holds()) return false;
        if (watcher >= 0 && set.checked == g_namespace_changes) return true;
        for (const Pin& p : set.names)
            if (!p.holds()) return false;
        set.checked = g_namespace_changes;
        return true;
    }

    void watch(PyObject* dict) {
        if (watcher < 0) return;
        for (PyObject* d : watched)
            if (d == dict) return;
        check(PyDict_Watch(watcher, dict));
        watched.push_back(Py_NewRef(dict));
    }

    // --- Building the pins, at import (throws on a C API failure) ---

    static Pin make(Pin::Kind kind, PyObject* a, PyObject* b, PyObject* c = nullptr, PyObject* d = nullptr) {
        return Pin{kind, Py_XNewRef(a), Py_XNewRef(b), Py_XNewRef(c), Py_XNewRef(d)};
    }

    // `dict[key]` stays what it is now (or stays absent).
    void pin_name(PinSet& set, PyObject* dict, PyObject* key) {
        PyObject* value = PyDict_GetItemWithError(dict, key);
        if (value == nullptr && PyErr_Occurred()) throw_error();
        watch(dict);
        set.names.push_back(make(Pin::Name, dict, key, value));
    }
    void pin_name(PinSet& set, PyObject* dict, const char* key) {
        Ref k = own(PyUnicode_InternFromString(key));
        pin_name(set, dict, k.get());
    }

    // `obj.<name>` (a module's global or an instance attribute kept in its
    // __dict__) stays what it is now; returns it, borrowed.
    PyObject* pin_attr(PinSet& set, PyObject* obj, const char* name) {
        Ref dict = own(PyObject_GenericGetDict(obj, nullptr));
        if (!PyModule_Check(obj)) set.direct.push_back(make(Pin::InstanceDict, obj, dict.get()));
        Ref key = own(PyUnicode_InternFromString(name));
        pin_name(set, dict.get(), key.get());
        PyObject* value = PyDict_GetItemWithError(dict.get(), key.get());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "no attribute '%s' to pin", name);
            throw_error();
        }
        return value;
    }

    // A Python function keeps its code and defaults, and every global name
    // its code reads keeps its binding (or stays unbound, so that the
    // builtin is used). Anything else that is callable is pinned by
    // identity alone, through the name that binds it.
    void pin_function(PinSet& set, PyObject* fn) {
        if (!PyFunction_Check(fn)) return;
        set.direct.push_back(make(Pin::Function, fn, PyFunction_GET_CODE(fn), PyFunction_GET_DEFAULTS(fn),
                                  PyFunction_GET_KW_DEFAULTS(fn)));
        PyObject* globals = PyFunction_GET_GLOBALS(fn);
        Ref names = own(PyObject_GetAttrString(PyFunction_GET_CODE(fn), "co_names"));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i)
            pin_name(set, globals, PyTuple_GET_ITEM(names.get(), i));
        if (PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(fn)) {
            Ref keys = own(PyDict_Keys(kwdefaults));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
                pin_name(set, kwdefaults, PyList_GET_ITEM(keys.get(), i));
        }
    }

    // `module.<name>` stays bound, and is pinned as a function.
    PyObject* pin_global_function(PinSet& set, PyObject* module, const char* name) {
        PyObject* fn = pin_attr(set, module, name);
        pin_function(set, fn);
        return fn;
    }

    PyObject* pin_type_attr(PinSet& set, PyObject* type, const char* name) {
        Ref key = own(PyUnicode_InternFromString(name));
        PyObject* value = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type), key.get());
        set.direct.push_back(make(Pin::TypeAttr, type, key.get(), value));
        return value;
    }

    void capture(PyObject* module, ModuleState* st);
    void capture_record(PinSet& set, PyObject* cls);
    bool strptime_in_place();
    void capture_canonicaliser(PyObject* dumps);
};

void Originals::capture(PyObject* module, ModuleState* st) {
    watcher = PyDict_AddWatcher(on_namespace_change);
    if (watcher < 0) PyErr_Clear();  // no slot left: every pin is checked at every call

    // base64.urlsafe_b64decode(s) and base64.b64decode(s, validate=...):
    // the module's binding of base64, the two functions, the helper and
    // the translation table they use, and binascii.a2b_base64 behind them.
    PyObject* base64 = nullptr;
    for (Guard g : {Guard::UrlsafeB64decode, Guard::B64decode}) {
        PinSet& set = sets[static_cast<int>(g)];
        base64 = pin_attr(set, module, "base64");
        if (g == Guard::UrlsafeB64decode) {
            pin_global_function(set, base64, "urlsafe_b64decode");
            pin_attr(set, base64, "_urlsafe_decode_translation");
        }
        pin_global_function(set, base64, "_bytes_from_decode_data");
        pin_global_function(set, base64, "b64decode");
        PyObject* binascii = pin_attr(set, base64, "binascii");
        pin_attr(set, binascii, "a2b_base64");
    }
    {
        Ref binascii = own(PyImport_ImportModule("binascii"));
        st->binascii_error = own(PyObject_GetAttrString(binascii.get(), "Error")).release();
    }

    // json.loads(s): its encoding detection and the shared default decoder
    // it hands every call without options to -- that decoder's class, its
    // decode and raw_decode, and the scanner its attributes were built into.
    {
        PinSet& set = sets[static_cast<int>(Guard::JsonLoads)];
        PyObject* json = pin_attr(set, module, "json");
        pin_global_function(set, json, "loads");
        pin_global_function(set, json, "detect_encoding");
        PyObject* decoder = pin_attr(set, json, "_default_decoder");
        PyObject* decoder_cls = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
        set.direct.push_back(make(Pin::ExactType, decoder, decoder_cls));
        for (const char* name : {"decode", "raw_decode"}) {
            // Neither shadowed on the instance nor replaced on the class.
            Ref dict = own(PyObject_GenericGetDict(decoder, nullptr));
            pin_name(set, dict.get(), name);
            pin_function(set, pin_type_attr(set, decoder_cls, name));
        }
        pin_attr(set, decoder, "scan_once");
        // The error json.loads raises for a whole-document failure, which
        // the native reader builds as its __init__ would.
        Ref decoder_module = own(PyImport_ImportModule("json.decoder"));
        PyObject* error_cls = pin_attr(set, decoder_module.get(), "JSONDecodeError");
        if (!PyType_Check(error_cls) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error_cls),
                              reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
            set.never = true;
        } else {
            pin_function(set, pin_type_attr(set, error_cls, "__init__"));
            pin_type_attr(set, error_cls, "__new__");
            st->json_decode_error = Py_NewRef(error_cls);
        }
    }

    // datetime.strptime(stamp, _TS_FMT).replace(tzinfo=timezone.utc): the
    // fast path builds the host's own datetime, so the bindings must be
    // the host's own types (they are immutable) and the pattern the text
    // the reader implements; _strptime is pinned when first seen.
    {
        PinSet& set = sets[static_cast<int>(Guard::Expiry)];
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) throw_error();
        }
        PyObject* datetime = pin_attr(set, module, "datetime");
        PyObject* timezone = pin_attr(set, module, "timezone");
        PyObject* fmt = pin_attr(set, module, "_TS_FMT");
        set.never = datetime != reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType) ||
                    timezone != reinterpret_cast<PyObject*>(Py_TYPE(PyDateTimeAPI->TimeZone_UTC)) ||
                    !PyUnicode_CheckExact(fmt) || PyUnicode_CompareWithASCIIString(fmt, "%Y-%m-%dT%H:%M:%SZ") != 0;
        strptime_name = own(PyUnicode_InternFromString("_strptime")).release();
    }

    // The records: what `dataclass` made of each class, if it is a class
    // at all, with the __init__ it generated and object's __new__.
    for (auto [g, name, slot] : {std::tuple{Guard::DecodedRecord, "DecodedPassport", &st->decoded_cls},
                                 std::tuple{Guard::VerdictRecord, "PassportVerdict", &st->verdict_cls}}) {
        Ref cls = own(PyObject_GetAttrString(module, name));
        PinSet& set = sets[static_cast<int>(g)];
        if (!PyType_Check(cls.get())) {
            set.never = true;  // a wrapper or any other callable: always called
            continue;
        }
        capture_record(set, cls.get());
        *slot = cls.release();
    }

    {
        PinSet& set = sets[static_cast<int>(Guard::RevokedIds)];
        pin_attr(set, module, "_revoked_ids");
    }
    pin_attr(sets[static_cast<int>(Guard::B64uDecode)], module, "_b64u_decode");
    {
        PinSet& set = sets[static_cast<int>(Guard::KidForKey)];
        pin_attr(set, module, "kid_for_key");
        pin_attr(set, pin_attr(set, module, "hashlib"), "sha256");
    }
    // Pinned at the first load of the components (state_capture_verifier).
    sets[static_cast<int>(Guard::FalconVerify)].never = true;

    // The canonicaliser itself loads lazily (note_canonicaliser); here only
    // the module's binding of the loader that supplies it.
    pin_attr(sets[static_cast<int>(Guard::Canonicaliser)], module, "_load_crypto");
}

// rfc8785.dumps(obj) writes through dump(obj, sink), which escapes text in
// _serialize_str through a callback reading the _ESCAPE_DCT table: the
// three functions keep their code and every global they read, the callback
// its globals, and the table its entries.
void Originals::capture_canonicaliser(PyObject* dumps) {
    PinSet& set = canonicaliser;
    pin_function(set, dumps);
    PyObject* globals = PyFunction_GET_GLOBALS(dumps);
    for (const char* name : {"dump", "_serialize_str"}) {
        pin_name(set, globals, name);
        PyObject* found = nullptr;
        check(PyDict_GetItemStringRef(globals, name, &found));
        Ref fn = Ref::own_or_null(found);
        if (!fn || !PyFunction_Check(fn.get())) {
            set.never = true;
            return;
        }
        pin_function(set, fn.get());
        // Functions defined inside it (the escape callback) read globals too.
        Ref consts = own(PyObject_GetAttrString(PyFunction_GET_CODE(fn.get()), "co_consts"));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            PyObject* inner = PyTuple_GET_ITEM(consts.get(), i);
            if (!PyCode_Check(inner)) continue;
            Ref names = own(PyObject_GetAttrString(inner, "co_names"));
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(names.get()); ++j)
                pin_name(set, globals, PyTuple_GET_ITEM(names.get(), j));
        }
    }
    PyObject* found = nullptr;
    check(PyDict_GetItemStringRef(globals, "_ESCAPE_DCT", &found));
    Ref table = Ref::own_or_null(found);
    if (!table || !PyDict_CheckExact(table.get())) {
        set.never = true;
        return;
    }
    Ref keys = own(PyDict_Keys(table.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
        pin_name(set, table.get(), PyList_GET_ITEM(keys.get(), i));
}

void Originals::capture_record(PinSet& set, PyObject* cls) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = pin_type_attr(set, cls, "__init__");
    Ref new_name = own(PyUnicode_InternFromString("__new__"));
    PyObject* object_new = _PyType_Lookup(&PyBaseObject_Type, new_name.get());
    // Filled directly only when instances come from object.__new__ and the
    // dataclass-generated __init__ (a Python function) sets the fields.
    set.never = init == nullptr || !PyFunction_Check(init) || tp->tp_new != PyBaseObject_Type.tp_new ||
                pin_type_attr(set, cls, "__new__") != object_new;
    if (init != nullptr) pin_function(set, init);
}

bool Originals::strptime_in_place() {
    PyObject* mod = PyImport_GetModule(strptime_name);
    if (mod == nullptr) {
        // Not loaded yet: the host would load it afresh from its source.
        if (!PyErr_Occurred()) return true;
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::own_or_null(mod);
    if (strptime_module == nullptr) {
        try {
            // Pinned only if both functions on the way are still the ones
            // the module's own source defines.
            Ref file = own(PyObject_GetAttrString(mod, "__file__"));
            for (const char* name : {"_strptime_datetime", "_strptime"}) {
                Ref fn = own(PyObject_GetAttrString(mod, name));
                if (!PyFunction_Check(fn.get())) return false;
                Ref fn_file = own(PyObject_GetAttrString(PyFunction_GET_CODE(fn.get()), "co_filename"));
                if (PyObject_RichCompareBool(fn_file.get(), file.get(), Py_EQ) != 1) {
                    PyErr_Clear();
                    return false;
                }
            }
            pin_global_function(strptime, mod, "_strptime_datetime");
            pin_global_function(strptime, mod, "_strptime");
            strptime_module = held.release();
        } catch (const PyErrOccurred&) {
            clear_set(strptime);
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return mod == strptime_module && holds(strptime);
}

void state_capture_originals(PyObject* module, ModuleState* st) {
    st->originals = new Originals();
    st->originals->capture(module, st);
}

void state_capture_verifier(ModuleState* st, PyObject* falcon_verify) {
    Originals* o = st->originals;
    if (o == nullptr || st->falcon_verify != nullptr) return;
    PinSet& set = o->sets[static_cast<int>(Guard::FalconVerify)];
    try {
        o->pin_function(set, falcon_verify);
    } catch (const PyErrOccurred&) {
        // Not pinned: the verifier is then always called.
        o->clear_set(set);
        set.never = true;
        PyErr_Clear();
        return;
    }
    set.never = false;
    st->falcon_verify = Py_NewRef(falcon_verify);
}

bool originals_in_place(const Call& c, Guard which) {
    Originals* o = c.st->originals;
    if (o == nullptr) return false;
    if (!o->holds(o->sets[static_cast<int>(which)])) return false;
    if (which == Guard::Canonicaliser) return c.st->rfc8785 != nullptr && o->holds(o->canonicaliser);
    return which != Guard::Expiry || o->strptime_in_place();
}

namespace {

// rfc8785's own dumps, not a stand-in put on the module before its first
// import here: a function of the component's implementation module.
bool is_rfc8785_dumps(PyObject* dumps) {
    if (!PyFunction_Check(dumps)) return false;
    PyObject* module_name = PyFunction_GetModule(dumps);  // borrowed
    return module_name != nullptr && PyUnicode_CheckExact(module_name) &&
           PyUnicode_CompareWithASCIIString(module_name, "rfc8785._impl") == 0;
}

}  // namespace

void note_canonicaliser(ModuleState* st, PyObject* rfc8785) {
    Originals* o = st->originals;
    if (st->rfc8785 != nullptr || o == nullptr || !PyModule_CheckExact(rfc8785)) return;
    // Read from the module's namespace: no attribute hook runs for this.
    PyObject* dumps = PyDict_GetItemWithError(PyModule_GetDict(rfc8785), st->dumps);  // borrowed
    if (dumps == nullptr || !is_rfc8785_dumps(dumps)) {
        PyErr_Clear();  // nothing to note yet; a later import may be the original
        return;
    }
    try {
        o->pin_name(o->canonicaliser, PyModule_GetDict(rfc8785), st->dumps);
        o->capture_canonicaliser(dumps);
    } catch (const PyErrOccurred&) {
        // Only a failure of the interpreter itself (no memory) gets here:
        // the canonicaliser is then always called.
        o->clear_set(o->canonicaliser);
        PyErr_Clear();
        return;
    }
    st->rfc8785 = Py_NewRef(rfc8785);
    st->rfc8785_dumps = Py_NewRef(dumps);
}

int state_traverse(ModuleState* st, visitproc visit, void* arg) {
    Py_VISIT(st->function_type);
    Py_VISIT(st->binascii_error);
    Py_VISIT(st->json_decode_error);
    Py_VISIT(st->decoded_cls);
    Py_VISIT(st->verdict_cls);
    Py_VISIT(st->text_frozenset);
    Py_VISIT(st->falcon_verify);
    Py_VISIT(st->kid_key);
    Py_VISIT(st->kid_text);
    Py_VISIT(st->rfc8785);
    Py_VISIT(st->rfc8785_dumps);
    if (st->originals != nullptr) return st->originals->traverse(visit, arg);
    return 0;
}

void state_clear(ModuleState* st) {
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->binascii_error);
    Py_CLEAR(st->json_decode_error);
    Py_CLEAR(st->decoded_cls);
    Py_CLEAR(st->verdict_cls);
    Py_CLEAR(st->text_frozenset);
    Py_CLEAR(st->falcon_verify);
    Py_CLEAR(st->kid_key);
    Py_CLEAR(st->kid_text);
    Py_CLEAR(st->rfc8785);
    Py_CLEAR(st->rfc8785_dumps);
    delete st->originals;
    st->originals = nullptr;
#define QT_CLEAR_NAME(id, txt) Py_CLEAR(st->id);
    QT_NAMES(QT_CLEAR_NAME)
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

Ref Call::global_or_null(PyObject* name) const {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) < 0) return nullptr;
    // The same report a Python function gives for a deleted global.
    if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::own_or_null(value);
}

Ref Call::global(PyObject* name) const {
    Ref value = global_or_null(name);
    if (!value) throw_error();
    return value;
}

// --- Errors and records ----------------------------------------------------

Ref set_passport_error(const Call& c, PyObject* message, PyObject* cause) {
    Ref cls = c.global(c.st->g_PassportError);
    Ref exc = call(cls.get(), message);
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    if (cause != nullptr) {
        // As `raise PassportError(...) from err` inside the handler of err.
        PyException_SetCause(exc.get(), Py_NewRef(cause));
        PyException_SetContext(exc.get(), Py_NewRef(cause));
        PyErr_SetRaisedException(exc.release());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    return nullptr;
}

Ref set_passport_error(const Call& c, const char* message, PyObject* cause) {
    Ref msg = text(message);
    return set_passport_error(c, msg.get(), cause);
}

[[noreturn]] void raise_passport_error(const Call& c, PyObject* message, PyObject* cause) {
    set_passport_error(c, message, cause);
    throw_error();
}

[[noreturn]] void raise_passport_error(const Call& c, const char* message, PyObject* cause) {
    Ref msg = text(message);
    raise_passport_error(c, msg.get(), cause);
}

Ref build_record(const Call& c, PyObject* cls, PyObject* const* values, PyObject* kwnames) {
    PyObject* fields = nullptr;  // every field name of the record, in order
    if (cls == c.st->verdict_cls && originals_in_place(c, Guard::VerdictRecord))
        fields = c.st->kw_verdict_fail;
    else if (cls == c.st->decoded_cls && originals_in_place(c, Guard::DecodedRecord))
        fields = c.st->kw_decoded;
    if (fields == nullptr) return own(PyObject_Vectorcall(cls, values, 0, kwnames));

    // As the generated __init__ sets them: every field in order, the
    // defaults for those not given.
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nfields = PyTuple_GET_SIZE(fields);
    const Py_ssize_t ngiven = PyTuple_GET_SIZE(kwnames);
    Ref obj = own(tp->tp_alloc(tp, 0));
    for (Py_ssize_t i = 0; i < nfields; ++i) {
        PyObject* name = PyTuple_GET_ITEM(fields, i);
        PyObject* value = nullptr;
        for (Py_ssize_t j = 0; j < ngiven && value == nullptr; ++j)
            if (PyTuple_GET_ITEM(kwnames, j) == name) value = values[j];
        if (value == nullptr) value = name == c.st->scopes ? c.st->empty_tuple : Py_None;
        check(PyObject_GenericSetAttr(obj.get(), name, value));
    }
    return obj;
}

// --- The native function type ----------------------------------------------

namespace {

constexpr Py_ssize_t kMaxParams = 8;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* fdef;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module_name;
    PyObject* code;
    PyObject* defaults;    // tuple or NULL
    PyObject* kwdefaults;  // dict or NULL
    PyObject* annotations;
    PyObject* varnames;  // parameter names, interned, in order
    PyObject* dict;
    PyObject* weakreflist;
    Py_ssize_t npos;  // positional-or-keyword parameters come first
};

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Keyword suggestions exactly as the interpreter computes them for its own
// "Did you mean" hints: a Levenshtein distance where a case flip costs half
// a substitution, limited to a third of the characters involved.
constexpr size_t kMaxStringSize = 40;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    if (a == b) return kCaseCost;
    return kMoveCost;
}

Py_ssize_t levenshtein(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost,
                       size_t* buffer) {
    if (a == b) return 0;
    while (a_size && b_size && a[0] == b[0]) {
        ++a, --a_size;
        ++b, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size;
        --b_size;
    }
    if (a_size == 0 || b_size == 0) return static_cast<Py_ssize_t>((a_size + b_size) * kMoveCost);
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return static_cast<Py_ssize_t>(max_cost + 1);
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < a_size; i++) {
        buffer[i] = tmp;
        tmp += kMoveCost;
    }
    size_t result = 0;
    for (size_t b_index = 0; b_index < b_size; b_index++) {
        char code = b[b_index];
        size_t distance = result = b_index * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t index = 0; index < a_size; index++) {
            size_t substitute = distance + substitution_cost(code, a[index]);
            distance = buffer[index];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[index] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    }
    return static_cast<Py_ssize_t>(result);
}

// Borrowed best candidate among the parameter names, or NULL.
PyObject* suggest_keyword(PyObject* varnames, PyObject* keyword) {
    Py_ssize_t name_size = 0;
    const char* name_str = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (name_str == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    size_t buffer[kMaxStringSize];
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    PyObject* best = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(varnames); ++i) {
        PyObject* item = PyTuple_GET_ITEM(varnames, i);
        if (PyUnicode_Compare(keyword, item) == 0) continue;
        Py_ssize_t item_size = 0;
        const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (item_str == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        Py_ssize_t max_distance = (name_size + item_size + 3) * static_cast<Py_ssize_t>(kMoveCost) / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        Py_ssize_t d = levenshtein(name_str, static_cast<size_t>(name_size), item_str,
                                   static_cast<size_t>(item_size), static_cast<size_t>(max_distance), buffer);
        if (d > max_distance) continue;
        if (best == nullptr || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return best;
}

// Names in the interpreter's own phrasing: 'a', 'a' and 'b', 'a', 'b', and 'c'.
int raise_missing(FunctionObject* f, const char* kind, PyObject* const* bound, Py_ssize_t start,
                  Py_ssize_t end) {
    std::vector<Ref> names;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (bound[i] != nullptr) continue;
        PyObject* r = PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i));
        if (r == nullptr) return -1;
        names.push_back(Ref::own_or_null(r));
    }
    const size_t n = names.size();
    Ref joined;
    if (n == 1) {
        joined = names[0].copy();
    } else if (n == 2) {
        joined = Ref::own_or_null(PyUnicode_FromFormat("%U and %U", names[0].get(), names[1].get()));
    } else {
        Ref acc = Ref::own_or_null(PyUnicode_FromString(""));
        for (size_t i = 0; acc && i + 2 < n; ++i) {
            acc = Ref::own_or_null(i == 0 ? PyUnicode_FromFormat("%U", names[i].get())
                                          : PyUnicode_FromFormat("%U, %U", acc.get(), names[i].get()));
        }
        if (acc)
            joined = Ref::own_or_null(
                PyUnicode_FromFormat("%U, %U, and %U", acc.get(), names[n - 2].get(), names[n - 1].get()));
    }
    if (!joined) return -1;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
                 static_cast<int>(n), kind, n == 1 ? "" : "s", joined.get());
    return -1;
}

int raise_too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject* const* bound) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = f->npos; i < f->fdef->nparams; ++i)
        if (bound[i] != nullptr) ++kwonly_given;
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    Ref sig;
    if (defcount) {
        plural = true;
        sig = Ref::own_or_null(PyUnicode_FromFormat("from %zd to %zd", f->npos - defcount, f->npos));
    } else {
        plural = f->npos != 1;
        sig = Ref::own_or_null(PyUnicode_FromFormat("%zd", f->npos));
    }
    if (!sig) return -1;
    Ref kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = Ref::own_or_null(PyUnicode_FromFormat(
            " positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
            kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = Ref::own_or_null(PyUnicode_FromString(""));
    }
    if (!kwonly_sig) return -1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
    return -1;
}

// Bind arguments as the interpreter does for a Python function of the same
// signature, in the same order of checks, so that the TypeErrors match.
int bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** bound, Ref* held) {
    const Py_ssize_t total = f->fdef->nparams;
    const Py_ssize_t npos = f->npos;
    for (Py_ssize_t i = 0; i < total; ++i) bound[i] = nullptr;
    const Py_ssize_t ncopy = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < ncopy; ++i) bound[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (keyword == nullptr || !PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return -1;
            }
            Py_ssize_t j = 0;
            for (; j < total; ++j)
                if (PyTuple_GET_ITEM(f->varnames, j) == keyword) break;
            if (j == total) {
                for (j = 0; j < total; ++j) {
                    int cmp = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->varnames, j), Py_EQ);
                    if (cmp < 0) return -1;
                    if (cmp > 0) break;
                }
            }
            if (j == total) {
                PyObject* suggestion = total > 0 ? suggest_keyword(f->varnames, keyword) : nullptr;
                if (suggestion != nullptr) {
                    PyErr_Format(PyExc_TypeError,
                                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, keyword, suggestion);
                } else {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                 f->qualname, keyword);
                }
                return -1;
            }
            if (bound[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                             keyword);
                return -1;
            }
            bound[j] = args[nargs + k];
        }
    }

    if (nargs > npos) return raise_too_many_positional(f, nargs, bound);

    if (nargs < npos) {
        const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        const Py_ssize_t m = npos - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i)
            if (bound[i] == nullptr) return raise_missing(f, "positional", bound, 0, m);
        for (Py_ssize_t i = 0; i < defcount; ++i)
            if (bound[m + i] == nullptr) bound[m + i] = PyTuple_GET_ITEM(f->defaults, i);
    }
    for (Py_ssize_t i = npos; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        PyObject* def = f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->varnames, i))
                                      : nullptr;
        if (def == nullptr && PyErr_Occurred()) return -1;
        if (def == nullptr) return raise_missing(f, "keyword-only", bound, npos, total);
        // __kwdefaults__ is a mutable dict, as for a Python function, so the
        // call holds its own reference to each default it uses.
        held[i] = borrow(def);
        bound[i] = def;
    }
    return 0;
}

// Not noexcept, and with no catch-all: the unwinding of a thread that the
// interpreter ends at shutdown (pthread_exit) must pass through. Catching
// it, or meeting a noexcept frame, would abort the process on its way out.
// Everything the module itself throws is one of the types caught here.
PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_fn(self);
    PyObject* bound[kMaxParams];
    Ref held[kMaxParams];
    if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound, held) < 0) return nullptr;
    try {
        Call c{f->module, static_cast<ModuleState*>(PyModule_GetState(f->module)),
               PyModule_GetDict(f->module)};
        PyObject* result = f->fdef->impl(c, bound).release();
        if (result == nullptr && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return result;
    } catch (const PyErrOccurred&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quorvel_trellane.passport");
        return nullptr;
    }
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module_name);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->varnames);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// Bound like a Python function when stored on a class.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_reduce(PyObject* self, PyObject* /*unused*/) {
    // Pickled by reference, as Python functions are.
    return Py_NewRef(as_fn(self)->qualname);
}

PyObject* get_or_none(PyObject* o) { return Py_NewRef(o != nullptr ? o : Py_None); }

PyObject* fn_get_name(PyObject* self, void*) { return get_or_none(as_fn(self)->name); }
PyObject* fn_get_qualname(PyObject* self, void*) { return get_or_none(as_fn(self)->qualname); }
PyObject* fn_get_doc(PyObject* self, void*) { return get_or_none(as_fn(self)->doc); }
PyObject* fn_get_module(PyObject* self, void*) { return get_or_none(as_fn(self)->module_name); }
PyObject* fn_get_code(PyObject* self, void*) { return get_or_none(as_fn(self)->code); }
PyObject* fn_get_defaults(PyObject* self, void*) { return get_or_none(as_fn(self)->defaults); }
PyObject* fn_get_kwdefaults(PyObject* self, void*) { return get_or_none(as_fn(self)->kwdefaults); }
PyObject* fn_get_annotations(PyObject* self, void*) { return get_or_none(as_fn(self)->annotations); }
PyObject* fn_get_globals(PyObject* self, void*) {
    PyObject* d = PyModule_GetDict(as_fn(self)->module);
    return Py_XNewRef(d);
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int fn_set_name(PyObject* self, PyObject* v, void*) { return set_text(&as_fn(self)->name, v, "__name__"); }
int fn_set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_fn(self)->qualname, v, "__qualname__");
}
int fn_set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_fn(self)->doc, Py_XNewRef(v));
    return 0;
}
int fn_set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_fn(self)->module_name, Py_XNewRef(v));
    return 0;
}
int fn_set_annotations(PyObject* self, PyObject* v, void*) {
    if (v != nullptr && v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, v == Py_None ? nullptr : Py_XNewRef(v));
    return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
    {"__module__", fn_get_module, fn_set_module, nullptr, nullptr},
    {"__code__", fn_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__globals__", fn_get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_type_spec = {
    "quorvel_trellane.passport.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

Ref default_value(Default d) {
    switch (d) {
        case Default::None: return none();
        case Default::True: return boolean(true);
        case Default::Float6: return own(PyFloat_FromDouble(6.0));
        case Default::Required: break;
    }
    return nullptr;
}

}  // namespace

PyObject* make_function_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &fn_type_spec, nullptr);
}

Ref make_function(PyObject* module, const FunctionDef& fdef) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (fdef.nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        throw_error();
    }
    Ref name = own(PyUnicode_InternFromString(fdef.name));
    Ref qualname = text(fdef.qualname);

    Ref varnames = own(PyTuple_New(fdef.nparams));
    Ref annotations = own(PyDict_New());
    std::vector<Ref> defaults;
    Ref kwdefaults;
    Py_ssize_t npos = 0;
    Py_ssize_t nkwonly = 0;
    for (Py_ssize_t i = 0; i < fdef.nparams; ++i) {
        const Param& p = fdef.params[i];
        PyObject* pname = PyUnicode_InternFromString(p.name);
        if (pname == nullptr) throw_error();
        PyTuple_SET_ITEM(varnames.get(), i, pname);
        if (p.annotation != nullptr) {
            Ref ann = text(p.annotation);
            check(PyDict_SetItem(annotations.get(), pname, ann.get()));
        }
        if (p.kind == ParamKind::PositionalOrKeyword) {
            ++npos;
            if (p.default_ != Default::Required) defaults.push_back(default_value(p.default_));
        } else {
            ++nkwonly;
            if (p.default_ != Default::Required) {
                if (!kwdefaults) kwdefaults = own(PyDict_New());
                Ref d = default_value(p.default_);
                check(PyDict_SetItem(kwdefaults.get(), pname, d.get()));
            }
        }
    }
    if (fdef.return_annotation != nullptr) {
        Ref ann = text(fdef.return_annotation);
        check(PyDict_SetItemString(annotations.get(), "return", ann.get()));
    }
    Ref defaults_tuple;
    if (!defaults.empty()) {
        defaults_tuple = own(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults_tuple.get(), static_cast<Py_ssize_t>(i), defaults[i].release());
    }

    // A real code object with the right argument counts and names, so that
    // inspect reads the signature as it does for a Python function.
    PyObject* file = nullptr;
    check(PyDict_GetItemStringRef(PyModule_GetDict(module), "__file__", &file));
    Ref file_ref = Ref::own_or_null(file);
    const char* filename = "<quorvel_trellane.passport>";
    if (file_ref && PyUnicode_Check(file_ref.get())) {
        filename = PyUnicode_AsUTF8(file_ref.get());
        if (filename == nullptr) throw_error();
    }
    Ref empty = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, fdef.name, 1)));
    Ref replace_fn = own(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = own(PyDict_New());
    Ref v_argcount = own(PyLong_FromSsize_t(npos));
    Ref v_kwonly = own(PyLong_FromSsize_t(nkwonly));
    Ref v_nlocals = own(PyLong_FromSsize_t(fdef.nparams));
    check(PyDict_SetItemString(kwargs.get(), "co_argcount", v_argcount.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_kwonlyargcount", v_kwonly.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_nlocals", v_nlocals.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()));
    Ref code = own(PyObject_Call(replace_fn.get(), st->empty_tuple, kwargs.get()));

    auto* tp = reinterpret_cast<PyTypeObject*>(st->function_type);
    auto* f = PyObject_GC_New(FunctionObject, tp);
    if (f == nullptr) throw_error();
    f->vectorcall = fn_vectorcall;
    f->fdef = &fdef;
    f->module = Py_NewRef(module);
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = fdef.doc != nullptr ? PyUnicode_FromString(fdef.doc) : Py_NewRef(Py_None);
    f->module_name = PyUnicode_FromString("quorvel_trellane.passport");
    f->code = code.release();
    f->defaults = defaults_tuple.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->varnames = varnames.release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->npos = npos;
    Ref result = Ref::own_or_null(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    if (f->doc == nullptr || f->module_name == nullptr) throw_error();
    return result;
}

}  // namespace qt
