// The one guard of every native fast path: the originals of each host
// function a fast path stands in for, pinned at import, and the question
// whether they are all still in place.
#include "guard.hpp"

#include "falcon.hpp"
#include "pins.hpp"

#include <tuple>

namespace qt {

void Originals::capture(PyObject* module, ModuleState* st) {
    start_watching();
    capture_base64(module, st);
    capture_json(module, st);
    capture_expiry(module, st);
    capture_records(module, st);
    {
        // The record verification would read its fields back from at once.
        PinSet& set = sets[static_cast<int>(Guard::DecodeForVerify)];
        pin_attr(set, module, "decode_passport");
        PyObject* cls = pin_attr(set, module, "DecodedPassport");
        if (cls == st->decoded_cls && cls != nullptr)
            pin_type(set, cls);
        else
            set.never = true;
    }
    pin_attr(sets[static_cast<int>(Guard::RevokedIds)], module, "_revoked_ids");
    pin_attr(sets[static_cast<int>(Guard::B64uDecode)], module, "_b64u_decode");
    {
        PinSet& set = sets[static_cast<int>(Guard::KidForKey)];
        pin_attr(set, module, "kid_for_key");
        pin_attr(set, pin_attr(set, module, "hashlib"), "sha256");
    }
    // Pinned at the first load of the components (note_verifier).
    sets[static_cast<int>(Guard::FalconVerify)].never = true;
    // The canonicaliser itself loads lazily (note_canonicaliser); here only
    // the module's binding of the loader that supplies it.
    pin_attr(sets[static_cast<int>(Guard::Canonicaliser)], module, "_load_crypto");
}

// base64.urlsafe_b64decode(s) and base64.b64decode(s, validate=...):
// the module's binding of base64, the two functions, the helper and
// the translation table they use, and binascii.a2b_base64 behind them.
void Originals::capture_base64(PyObject* module, ModuleState* st) {
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
    Ref binascii = own(PyImport_ImportModule("binascii"));
    st->binascii_error = own(PyObject_GetAttrString(binascii.get(), "Error")).release();
}

namespace {

// Whether `fn` is a Python function of `module`'s own source file, and not a
// stand-in bound in its place before the module was first imported here.
bool from_source_of(PyObject* fn, PyObject* module) {
    if (!PyFunction_Check(fn)) return false;
    PyObject* file = nullptr;
    if (check(PyObject_GetOptionalAttrString(module, "__file__", &file)) == 0) return false;
    Ref held = Ref::own(file);
    Ref fn_file = own(PyObject_GetAttrString(PyFunction_GET_CODE(fn), "co_filename"));
    return check(PyObject_RichCompareBool(fn_file.get(), file, Py_EQ)) == 1;
}

// Whether `decoder` is configured exactly as JSONDecoder() configures it:
// no object hooks, the host's float and int, json's own constants, strict
// strings. The native reader reproduces that configuration alone; a
// decoder built with options (a hook refusing repeated members, Decimal
// floats) must decide for itself. The options are read on the decoder and
// on the scanner built from it, which keeps its own copy of them: putting
// a default back on the decoder afterwards changes nothing its scanner does.
bool configured_as_default(PyObject* decoder, PyObject* decoder_module) {
    PyObject* scanner = nullptr;
    if (check(PyObject_GetOptionalAttrString(decoder, "scan_once", &scanner)) == 0) return false;
    Ref scan_once = Ref::own(scanner);
    // The compiled scanner alone exposes its options; json's pure-Python
    // fallback keeps them in a closure.
    Ref compiled = Ref::own_or_error(PyImport_ImportModule("_json"));
    if (!compiled) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
        PyErr_Clear();
        return false;
    }
    Ref scanner_cls = own(PyObject_GetAttrString(compiled.get(), "make_scanner"));
    if (reinterpret_cast<PyObject*>(Py_TYPE(scanner)) != scanner_cls.get()) return false;
    Ref constants = own(PyObject_GetAttrString(decoder_module, "_CONSTANTS"));
    Ref parse_constant = own(PyObject_GetAttrString(constants.get(), "__getitem__"));
    struct Default {
        const char* name;
        PyObject* value;
        bool by_identity;
    };
    const Default defaults[] = {
        {"object_hook", Py_None, true},
        {"object_pairs_hook", Py_None, true},
        {"parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type), true},
        {"parse_int", reinterpret_cast<PyObject*>(&PyLong_Type), true},
        {"parse_constant", parse_constant.get(), false},
        {"strict", Py_True, false},
    };
    for (PyObject* owner : {decoder, scanner}) {
        for (const Default& d : defaults) {
            PyObject* found = nullptr;
            if (check(PyObject_GetOptionalAttrString(owner, d.name, &found)) == 0) return false;
            Ref value = Ref::own(found);
            const bool same =
                d.by_identity ? found == d.value : check(PyObject_RichCompareBool(found, d.value, Py_EQ)) == 1;
            if (!same) return false;
        }
    }
    return true;
}

}  // namespace

// json.loads(s): its encoding detection and the shared default decoder
// it hands every call without options to -- that decoder's class, its
// decode and raw_decode, and the scanner its attributes were built into.
// The native reader stands in only when all of them are json's own and the
// decoder is configured as the default one, as they are when no one
// replaced them before this module was first imported.
void Originals::capture_json(PyObject* module, ModuleState* st) {
    PinSet& set = sets[static_cast<int>(Guard::JsonLoads)];
    Ref decoder_module = own(PyImport_ImportModule("json.decoder"));
    PyObject* json = pin_attr(set, module, "json");
    const bool json_loads = from_source_of(pin_global_function(set, json, "loads"), json);
    const bool json_detect = from_source_of(pin_global_function(set, json, "detect_encoding"), json);
    PyObject* decoder = pin_attr(set, json, "_default_decoder");
    PyObject* decoder_cls = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
    set.direct.push_back(make(Pin::ExactType, decoder, decoder_cls));
    Ref json_decoder_cls = own(PyObject_GetAttrString(decoder_module.get(), "JSONDecoder"));
    bool original = json_loads && json_detect && decoder_cls == json_decoder_cls.get() &&
                    configured_as_default(decoder, decoder_module.get());
    for (const char* name : {"decode", "raw_decode"}) {
        // Neither shadowed on the instance nor replaced on the class.
        Ref dict = own(PyObject_GenericGetDict(decoder, nullptr));
        pin_name(set, dict.get(), name);
        PyObject* method = pin_type_attr(set, decoder_cls, name);
        pin_function(set, method);
        original = original && method != nullptr && from_source_of(method, decoder_module.get());
    }
    pin_attr(set, decoder, "scan_once");
    // The error json.loads raises for a whole-document failure, which
    // the native reader builds as its __init__ would.
    PyObject* error_cls = pin_attr(set, decoder_module.get(), "JSONDecodeError");
    if (!PyType_Check(error_cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error_cls),
                                                      reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        set.never = true;
    } else {
        pin_function(set, pin_type_attr(set, error_cls, "__init__"));
        pin_type_attr(set, error_cls, "__new__");
        st->json_decode_error = Py_NewRef(error_cls);
    }
    if (!original) set.never = true;
}

// datetime.strptime(stamp, _TS_FMT).replace(tzinfo=timezone.utc): the
// fast path builds the host's own datetime, so the bindings must be
// the host's own types (they are immutable) and the pattern the text
// the reader implements; _strptime is pinned when first seen.
void Originals::capture_expiry(PyObject* module, ModuleState* st) {
    PinSet& set = sets[static_cast<int>(Guard::Expiry)];
    // Kept in the module state rather than in the header's per-file static,
    // which every interpreter importing the module would write.
    st->datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (st->datetime_api == nullptr) throw_error();
    const PyDateTime_CAPI* api = st->datetime_api;
    PyObject* datetime = pin_attr(set, module, "datetime");
    PyObject* timezone = pin_attr(set, module, "timezone");
    PyObject* fmt = pin_attr(set, module, "_TS_FMT");
    set.never = datetime != reinterpret_cast<PyObject*>(api->DateTimeType) ||
                timezone != reinterpret_cast<PyObject*>(Py_TYPE(api->TimeZone_UTC)) || !PyUnicode_CheckExact(fmt) ||
                PyUnicode_CompareWithASCIIString(fmt, "%Y-%m-%dT%H:%M:%SZ") != 0;
    strptime_name = own(PyUnicode_InternFromString("_strptime")).release();
}

// The records: what `dataclass` made of each class, if it is a class
// at all, with the __init__ it generated and object's __new__.
void Originals::capture_records(PyObject* module, ModuleState* st) {
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
        if (found == nullptr || !PyFunction_Check(found)) {
            Py_XDECREF(found);
            set.never = true;
            return;
        }
        Ref fn = Ref::own(found);
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
    if (found == nullptr || !PyDict_CheckExact(found)) {
        Py_XDECREF(found);
        set.never = true;
        return;
    }
    Ref table = Ref::own(found);
    Ref keys = own(PyDict_Keys(table.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
        pin_name(set, table.get(), PyList_GET_ITEM(keys.get(), i));
}

void Originals::capture_record(PinSet& set, PyObject* cls) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = pin_type_attr(set, cls, "__init__");
    Ref new_name = own(PyUnicode_InternFromString("__new__"));
    PyObject* object_new = internals::type_lookup(&PyBaseObject_Type, new_name.get());
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
    Ref held = Ref::own(mod);
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

void capture_originals(PyObject* module, ModuleState* st) {
    st->originals = new Originals();
    st->originals->capture(module, st);
}

void note_verifier(ModuleState* st, PyObject* falcon_verify) {
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
    try {
        st->falcon_library = falcon::find(falcon_verify).release();
    } catch (const PyErrOccurred&) {
        // No compiled library: the verifier is then always called.
        PyErr_Clear();
    }
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
    PyObject* dumps = PyDict_GetItemWithError(PyModule_GetDict(rfc8785), st->str_dumps);  // borrowed
    if (dumps == nullptr || !is_rfc8785_dumps(dumps)) {
        PyErr_Clear();  // nothing to note yet; a later import may be the original
        return;
    }
    try {
        o->pin_name(o->canonicaliser, PyModule_GetDict(rfc8785), st->str_dumps);
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

std::optional<std::uint64_t> watched_stamp(ModuleState* st, std::initializer_list<PyObject*> dicts) {
    Originals* o = st->originals;
    if (o == nullptr || o->watcher < 0) return std::nullopt;
    try {
        for (PyObject* dict : dicts) o->watch(dict);
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
        return std::nullopt;
    }
    return *o->changes;
}

int traverse_originals(Originals* originals, visitproc visit, void* arg) {
    return originals != nullptr ? originals->traverse(visit, arg) : 0;
}

void drop_originals(ModuleState* st) {
    delete st->originals;
    st->originals = nullptr;
}

}  // namespace qt
