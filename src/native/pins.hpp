// The pins every guard is built from: what a fast path relies on, pinned at
// import, and the question whether it is all still in place. Private to the
// guard (guard.cpp builds the pins of each fast path; pins.cpp keeps the
// watched namespaces and the pin builders).
#pragma once
#include "guard.hpp"
#include "internals.hpp"

#include <cstdint>
#include <vector>

namespace qt {

// The originals each fast path relies on.
//
// A fast path may stand in for a host function only while nothing that
// function depends on has changed since import. Each guard is a set of pins:
// a name in a namespace (module globals, a function's keyword defaults, an
// instance's __dict__) still bound to the same object or still absent, a
// Python function still running the same code with the same defaults, a
// class attribute still the same, an object still of the same class.
//
// Namespace pins are the many; they are checked again only after some
// watched namespace has changed (a dict watcher counts changes, per
// interpreter), so a guard in the steady state costs a few pointer
// comparisons. Without a free
// watcher slot every pin is checked at every call. The builtins are taken
// as the host's own: a pin on a name the function reads from the builtins
// only checks that its module does not shadow it.

struct Pin {
    enum Kind { Name, Function, TypeAttr, ExactType, InstanceDict, Cell, TypeVersion } kind;
    // Owned. Name: (dict, key, value or NULL for absent). Function: (func,
    // code, defaults, kwdefaults). TypeAttr: (type, name, value).
    // ExactType: (object, type). InstanceDict: (object, its __dict__).
    // Cell: (closure cell, its content). TypeVersion: (type), with the
    // version tag it had (every change to the type or a base gives it
    // another) kept in `version`.
    PyObject* a;
    PyObject* b;
    PyObject* c;
    PyObject* d;
    unsigned int version = 0;

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
                return internals::type_lookup(reinterpret_cast<PyTypeObject*>(a), b) == c;
            case ExactType:
                return reinterpret_cast<PyObject*>(Py_TYPE(a)) == b;
            case Cell:
                return PyCell_GET(a) == b;
            case TypeVersion:
                return version != 0 && internals::type_version(reinterpret_cast<PyTypeObject*>(a)) == version;
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

struct PinSet {
    bool never = false;         // something was not original already at import
    std::vector<Pin> names;     // rechecked only after a watched namespace changed
    std::vector<Pin> direct;    // checked at every call
    std::uint64_t checked = 0;  // the change count at which `names` last held

    // Calls f on every reference the pins hold, for traverse and clear
    // alike; stops at the first nonzero result.
    template <typename F>
    int each_ref(F f) {
        for (auto* pins : {&names, &direct})
            for (Pin& p : *pins)
                for (PyObject** slot : {&p.a, &p.b, &p.c, &p.d})
                    if (int r = f(slot)) return r;
        return 0;
    }
};

struct Originals {
    int watcher = -1;
    PyObject* changes_owner = nullptr;  // owned: the capsule holding *changes
    std::uint64_t* changes = nullptr;   // this interpreter's count of namespace changes
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

    void clear_set(PinSet& set);
    void clear();
    int traverse(visitproc visit, void* arg);

    bool holds(PinSet& set) {
        if (set.never) return false;
        for (const Pin& p : set.direct)
            if (!p.holds()) return false;
        if (watcher >= 0 && set.checked == *changes) return true;
        for (const Pin& p : set.names)
            if (!p.holds()) return false;
        set.checked = *changes;
        return true;
    }

    // This interpreter's count of namespace changes, and a watcher slot if
    // one is free (throws on a C API failure).
    void start_watching();
    void watch(PyObject* dict);

    // --- Building the pins, at import (throws on a C API failure) ---

    static Pin make(Pin::Kind kind, PyObject* a, PyObject* b, PyObject* c = nullptr, PyObject* d = nullptr) {
        return Pin{kind, Py_XNewRef(a), Py_XNewRef(b), Py_XNewRef(c), Py_XNewRef(d)};
    }

    void pin_name(PinSet& set, PyObject* dict, PyObject* key);
    void pin_name(PinSet& set, PyObject* dict, const char* key);
    PyObject* pin_attr(PinSet& set, PyObject* obj, const char* name);
    void pin_function(PinSet& set, PyObject* fn);
    PyObject* pin_global_function(PinSet& set, PyObject* module, const char* name);
    PyObject* pin_type_attr(PinSet& set, PyObject* type, const char* name);
    void pin_type(PinSet& set, PyObject* type);

    // --- The pins of each fast path (guard.cpp) ---

    void capture(PyObject* module, ModuleState* st);
    void capture_base64(PyObject* module, ModuleState* st);
    void capture_json(PyObject* module, ModuleState* st);
    void capture_expiry(PyObject* module, ModuleState* st);
    void capture_records(PyObject* module, ModuleState* st);
    void capture_record(PinSet& set, PyObject* cls);
    bool strptime_in_place();
    void capture_canonicaliser(PyObject* dumps);
};

}  // namespace qt
