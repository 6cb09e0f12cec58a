// Every use of the interpreter's internals, in one place: details of
// CPython 3.13 that its public C API does not offer, or offers only at a
// cost the fast paths exist to avoid. Each entry says why it is used. They
// may change in any release, so the module is built for 3.13 only; before
// the version check below is widened, every entry must be checked against
// the new version's headers and the whole suite run on it.
#pragma once

#include <patchlevel.h>  // the version alone, checked before anything else is read

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error \
    "quorvel_trellane.passport is written for CPython 3.13 only: src/native/internals.hpp reads interpreter internals that other versions may lay out differently"
#endif

#include "ref.hpp"

namespace qt::internals {

// `type.<name>` through the MRO, as the interpreter itself finds special
// methods: no descriptor run, no __getattr__, nothing raised (nullptr when
// absent). The guard compares the result by identity on every call, so it
// must be this cheap and must not run Python code; a `with` statement's
// __enter__/__exit__ are found the same way (never from the instance).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {  // borrowed
    return _PyType_Lookup(type, name);
}
inline PyObject* type_lookup_ref(PyTypeObject* type, PyObject* name) {  // new reference
    return _PyType_LookupRef(type, name);
}

// A type's version tag: the interpreter gives the type a new one whenever
// the type or one of its bases changes, which is how one comparison tells
// the guard that nothing looked up through the type has changed. Reading
// the field is how its own caches use it; assigning one is unstable API.
inline bool assign_type_version(PyTypeObject* type) { return PyUnstable_Type_AssignVersionTag(type) != 0; }
inline unsigned int type_version(const PyTypeObject* type) { return type->tp_version_tag; }

// Whether a profile or trace function watches the thread: the direct
// Falcon-1024 check is then skipped, so that such tools see the wrapper's
// call. The public API can set these functions but not ask for them
// without a Python-level call (sys.getprofile) per verification.
inline bool thread_watched(const PyThreadState* ts) {
    return ts->c_profilefunc != nullptr || ts->c_tracefunc != nullptr;
}

// How many Python frames the thread may still enter before RecursionError:
// the canonical writer leaves values nested deeper than the host writer
// could reach to the host, so that it raises its own RecursionError.
inline int recursion_remaining() { return PyThreadState_Get()->py_recursion_remaining; }

// Whether every key of an exact set or frozenset satisfies `pred`, read from
// its table as the header documents it (a slot is active when its key is set
// and its hash is not -1, which marks a deleted slot). An iterator would
// take and drop a reference per key; a revocation list's set is checked at
// every call, and its keys, scattered in hash order, are fetched ahead.
template <class Pred>
bool set_all_keys(PyObject* set, Pred pred) {
    const auto* s = reinterpret_cast<const PySetObject*>(set);
    constexpr Py_ssize_t kAhead = 64;
    for (Py_ssize_t i = 0; i <= s->mask; ++i) {
        if (i + kAhead <= s->mask) __builtin_prefetch(s->table[i + kAhead].key);
        const setentry& e = s->table[i];
        if (e.key != nullptr && e.hash != -1 && !pred(e.key)) return false;
    }
    return true;
}

// Shrinks a bytes object this code alone holds to its final length, in
// place: the base64 decoder writes into an object sized for the longest
// answer. Frees the object and sets *bytes to nullptr on failure.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

}  // namespace qt::internals
