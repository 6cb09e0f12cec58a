// The pins of the guard: the count of changes to the watched namespaces,
// kept per interpreter, and the building of the pins at import.
#include "pins.hpp"

#include <new>

namespace qt {

namespace {

// The count of changes lives in the interpreter's own dict, in a capsule
// that every instance of the module in that interpreter shares: a watcher
// callback has no context of its own, and nothing is kept process-wide. A
// change seen by one instance only makes the others check their pins again.
constexpr const char kChangesKey[] = "quorvel_trellane.passport.namespace_changes";

void free_changes(PyObject* capsule) { delete static_cast<std::uint64_t*>(PyCapsule_GetPointer(capsule, kChangesKey)); }

// Bumped before any change to a watched namespace takes effect. Never
// raises, and leaves alone any error being raised while the dict changes.
int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    PyObject* capsule = nullptr;
    if (interp_dict != nullptr && PyDict_GetItemStringRef(interp_dict, kChangesKey, &capsule) > 0) {
        if (auto* count = static_cast<std::uint64_t*>(PyCapsule_GetPointer(capsule, kChangesKey))) ++*count;
        Py_DECREF(capsule);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return 0;
}

// The interpreter's change count, created by the first instance.
Ref changes_capsule() {
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (interp_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter dict to keep the namespace changes in");
        throw_error();
    }
    PyObject* found = nullptr;
    check(PyDict_GetItemStringRef(interp_dict, kChangesKey, &found));
    if (found != nullptr) return Ref::own(found);
    auto* count = new std::uint64_t(1);
    PyObject* capsule = PyCapsule_New(count, kChangesKey, free_changes);
    if (capsule == nullptr) {
        delete count;
        throw_error();
    }
    Ref owned = Ref::own(capsule);
    check(PyDict_SetItemString(interp_dict, kChangesKey, capsule));
    return owned;
}

}  // namespace

void Originals::start_watching() {
    changes_owner = changes_capsule().release();
    changes = static_cast<std::uint64_t*>(PyCapsule_GetPointer(changes_owner, kChangesKey));
    if (changes == nullptr) throw_error();
    watcher = PyDict_AddWatcher(on_namespace_change);
    if (watcher < 0) PyErr_Clear();  // no slot left: every pin is checked at every call
}

void Originals::clear_set(PinSet& set) {
    set.each_ref([](PyObject** slot) {
        Py_CLEAR(*slot);
        return 0;
    });
    set.names.clear();
    set.direct.clear();
}

void Originals::clear() {
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
    changes = nullptr;
    Py_CLEAR(changes_owner);
}

int Originals::traverse(visitproc visit, void* arg) {
    auto visit_set = [&](PinSet& set) {
        return set.each_ref([&](PyObject** slot) {
            Py_VISIT(*slot);
            return 0;
        });
    };
    for (PinSet& set : sets)
        if (int r = visit_set(set)) return r;
    if (int r = visit_set(strptime)) return r;
    if (int r = visit_set(canonicaliser)) return r;
    for (PyObject* dict : watched) Py_VISIT(dict);
    Py_VISIT(strptime_module);
    return 0;
}

void Originals::watch(PyObject* dict) {
    if (watcher < 0) return;
    for (PyObject* d : watched)
        if (d == dict) return;
    check(PyDict_Watch(watcher, dict));
    watched.push_back(Py_NewRef(dict));
}

// `dict[key]` stays what it is now (or stays absent).
void Originals::pin_name(PinSet& set, PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    watch(dict);
    set.names.push_back(make(Pin::Name, dict, key, value));
}
void Originals::pin_name(PinSet& set, PyObject* dict, const char* key) {
    Ref k = own(PyUnicode_InternFromString(key));
    pin_name(set, dict, k.get());
}

// `obj.<name>` (a module's global or an instance attribute kept in its
// __dict__) stays what it is now; returns it, borrowed.
PyObject* Originals::pin_attr(PinSet& set, PyObject* obj, const char* name) {
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

// A Python function keeps its code and defaults, the variables it
// closes over keep their values, and every global name its code reads
// keeps its binding (or stays unbound, so that the builtin is used).
// Anything else that is callable is pinned by identity alone, through
// the name that binds it.
void Originals::pin_function(PinSet& set, PyObject* fn) {
    if (!PyFunction_Check(fn)) return;
    set.direct.push_back(
        make(Pin::Function, fn, PyFunction_GET_CODE(fn), PyFunction_GET_DEFAULTS(fn), PyFunction_GET_KW_DEFAULTS(fn)));
    if (PyObject* closure = PyFunction_GET_CLOSURE(fn)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
            PyObject* cell = PyTuple_GET_ITEM(closure, i);
            if (PyCell_Check(cell)) set.direct.push_back(make(Pin::Cell, cell, PyCell_GET(cell)));
        }
    }
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
PyObject* Originals::pin_global_function(PinSet& set, PyObject* module, const char* name) {
    PyObject* fn = pin_attr(set, module, name);
    pin_function(set, fn);
    return fn;
}

PyObject* Originals::pin_type_attr(PinSet& set, PyObject* type, const char* name) {
    Ref key = own(PyUnicode_InternFromString(name));
    PyObject* value = internals::type_lookup(reinterpret_cast<PyTypeObject*>(type), key.get());
    set.direct.push_back(make(Pin::TypeAttr, type, key.get(), value));
    return value;
}

// The type and everything looked up through it (its attributes and
// its bases') stay as they are now.
void Originals::pin_type(PinSet& set, PyObject* type) {
    Pin pin = make(Pin::TypeVersion, type, nullptr);
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (internals::assign_type_version(tp)) pin.version = internals::type_version(tp);
    set.direct.push_back(pin);
}

}  // namespace qt
