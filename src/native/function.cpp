// The function-like native callable every module function is made of: its
// type, argument binding with the interpreter's own wording of argument
// errors and keyword suggestions, descriptor binding and pickling by name.
#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <vector>

namespace qt {

namespace {

constexpr Py_ssize_t kMaxParams = 8;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
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
    Py_ssize_t nparams;
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

Py_ssize_t levenshtein(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost, size_t* buffer) {
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
        Py_ssize_t d = levenshtein(name_str, static_cast<size_t>(name_size), item_str, static_cast<size_t>(item_size),
                                   static_cast<size_t>(max_distance), buffer);
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
int raise_missing(FunctionObject* f, const char* kind, PyObject* const* bound, Py_ssize_t start, Py_ssize_t end) {
    std::vector<Ref> names;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (bound[i] != nullptr) continue;
        PyObject* r = PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i));
        if (r == nullptr) return -1;
        names.push_back(Ref::own_or_error(r));
    }
    const size_t n = names.size();
    Ref joined;
    if (n == 1) {
        joined = names[0].copy();
    } else if (n == 2) {
        joined = Ref::own_or_error(PyUnicode_FromFormat("%U and %U", names[0].get(), names[1].get()));
    } else {
        Ref acc = Ref::own_or_error(PyUnicode_FromString(""));
        for (size_t i = 0; acc && i + 2 < n; ++i) {
            acc = Ref::own_or_error(i == 0 ? PyUnicode_FromFormat("%U", names[i].get())
                                           : PyUnicode_FromFormat("%U, %U", acc.get(), names[i].get()));
        }
        if (acc)
            joined = Ref::own_or_error(
                PyUnicode_FromFormat("%U, %U, and %U", acc.get(), names[n - 2].get(), names[n - 1].get()));
    }
    if (!joined) return -1;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname, static_cast<int>(n), kind,
                 n == 1 ? "" : "s", joined.get());
    return -1;
}

int raise_too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject* const* bound) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = f->npos; i < f->nparams; ++i)
        if (bound[i] != nullptr) ++kwonly_given;
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    Ref sig;
    if (defcount) {
        plural = true;
        sig = Ref::own_or_error(PyUnicode_FromFormat("from %zd to %zd", f->npos - defcount, f->npos));
    } else {
        plural = f->npos != 1;
        sig = Ref::own_or_error(PyUnicode_FromFormat("%zd", f->npos));
    }
    if (!sig) return -1;
    Ref kwonly_sig;
    if (kwonly_given) {
        kwonly_sig =
            Ref::own_or_error(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                   given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = Ref::own_or_error(PyUnicode_FromString(""));
    }
    if (!kwonly_sig) return -1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname, sig.get(),
                 plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
    return -1;
}

// Bind arguments as the interpreter does for a Python function of the same
// signature, in the same order of checks, so that the TypeErrors match.
int bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound,
         std::optional<Ref>* held) {
    const Py_ssize_t total = f->nparams;
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
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, keyword, suggestion);
                } else {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
                }
                return -1;
            }
            if (bound[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
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
        PyObject* def =
            f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->varnames, i)) : nullptr;
        if (def == nullptr && PyErr_Occurred()) return -1;
        if (def == nullptr) return raise_missing(f, "keyword-only", bound, npos, total);
        // __kwdefaults__ is a mutable dict, as for a Python function, so the
        // call holds its own reference to each default it uses.
        held[i] = borrow(def);
        bound[i] = def;
    }
    return 0;
}

// Not noexcept, and the one catch-all lets the unwinding of a thread that
// the interpreter ends at shutdown (pthread_exit) pass: swallowing it, or
// meeting a noexcept frame, would abort the process on its way out. That
// unwinding is known by the thread state it lacks (the thread is ended
// while it waits to attach again); catching it by its type instead would
// bind a reference to its absent exception object.
PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_fn(self);
    PyObject* bound[kMaxParams];
    std::optional<Ref> held[kMaxParams];  // the keyword defaults in use
    if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound, held) < 0) return nullptr;
    try {
        Call c{f->module, static_cast<ModuleState*>(PyModule_GetState(f->module)), PyModule_GetDict(f->module)};
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
    } catch (...) {
        if (PyThreadState_GetUnchecked() == nullptr) throw;
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quorvel_trellane.passport");
        return nullptr;
    }
}

// Every object the function owns, for traverse and clear alike.
constexpr PyObject* FunctionObject::*kOwned[] = {
    &FunctionObject::module,      &FunctionObject::name,     &FunctionObject::qualname, &FunctionObject::doc,
    &FunctionObject::module_name, &FunctionObject::code,     &FunctionObject::defaults, &FunctionObject::kwdefaults,
    &FunctionObject::annotations, &FunctionObject::varnames, &FunctionObject::dict,
};

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* FunctionObject::*field : kOwned) Py_VISIT(f->*field);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    for (PyObject* FunctionObject::*field : kOwned) Py_CLEAR(f->*field);
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

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self); }

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
int fn_set_qualname(PyObject* self, PyObject* v, void*) { return set_text(&as_fn(self)->qualname, v, "__qualname__"); }
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
        case Default::None:
            return none();
        case Default::True:
            return boolean(true);
        case Default::Float6:
            return own(PyFloat_FromDouble(6.0));
        case Default::Required:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "a required parameter has no default");
    throw_error();
}

// The parts of a Python function's signature that inspect reads.
struct Signature {
    Ref varnames;                   // parameter names, interned, in order
    Ref annotations;                // name -> annotation text, and "return"
    std::optional<Ref> defaults;    // __defaults__, when a parameter has one
    std::optional<Ref> kwdefaults;  // __kwdefaults__, when one has one
    Py_ssize_t npos = 0;
    Py_ssize_t nkwonly = 0;
};

Signature signature_of(const FunctionDef& fdef) {
    const Py_ssize_t nparams = std::ssize(fdef.params);
    Signature sig{own(PyTuple_New(nparams)), own(PyDict_New())};
    std::vector<Ref> defaults;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& p = fdef.params[i];
        PyObject* pname = PyUnicode_InternFromString(p.name);
        if (pname == nullptr) throw_error();
        PyTuple_SET_ITEM(sig.varnames.get(), i, pname);
        if (p.annotation != nullptr) {
            Ref ann = text(p.annotation);
            check(PyDict_SetItem(sig.annotations.get(), pname, ann.get()));
        }
        if (p.kind == ParamKind::PositionalOrKeyword) {
            ++sig.npos;
            if (p.default_ != Default::Required) defaults.push_back(default_value(p.default_));
        } else {
            ++sig.nkwonly;
            if (p.default_ != Default::Required) {
                if (!sig.kwdefaults) sig.kwdefaults = own(PyDict_New());
                Ref d = default_value(p.default_);
                check(PyDict_SetItem(sig.kwdefaults->get(), pname, d.get()));
            }
        }
    }
    if (fdef.return_annotation != nullptr) {
        Ref ann = text(fdef.return_annotation);
        check(PyDict_SetItemString(sig.annotations.get(), "return", ann.get()));
    }
    if (!defaults.empty()) {
        sig.defaults = own(PyTuple_New(std::ssize(defaults)));
        for (size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(sig.defaults->get(), static_cast<Py_ssize_t>(i), defaults[i].release());
    }
    return sig;
}

// A real code object with the right argument counts and names, so that
// inspect reads the signature as it does for a Python function.
Ref code_object(PyObject* module, const FunctionDef& fdef, const Signature& sig, PyObject* qualname) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    PyObject* file = nullptr;
    check(PyDict_GetItemStringRef(PyModule_GetDict(module), "__file__", &file));
    std::optional<Ref> file_ref = Ref::own_optional(file);
    const char* filename = "<quorvel_trellane.passport>";
    if (file_ref && PyUnicode_Check(file_ref->get())) {
        filename = PyUnicode_AsUTF8(file_ref->get());
        if (filename == nullptr) throw_error();
    }
    Ref empty = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, fdef.name, 1)));
    Ref replace_fn = own(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = own(PyDict_New());
    Ref v_argcount = own(PyLong_FromSsize_t(sig.npos));
    Ref v_kwonly = own(PyLong_FromSsize_t(sig.nkwonly));
    Ref v_nlocals = own(PyLong_FromSsize_t(std::ssize(fdef.params)));
    check(PyDict_SetItemString(kwargs.get(), "co_argcount", v_argcount.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_kwonlyargcount", v_kwonly.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_nlocals", v_nlocals.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_varnames", sig.varnames.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_qualname", qualname));
    return own(PyObject_Call(replace_fn.get(), st->empty_tuple, kwargs.get()));
}

}  // namespace

PyObject* make_function_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &fn_type_spec, nullptr); }

Ref make_function(PyObject* module, const FunctionDef& fdef) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (std::ssize(fdef.params) > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        throw_error();
    }
    Ref name = own(PyUnicode_InternFromString(fdef.name));
    Ref qualname = text(fdef.qualname);
    Signature sig = signature_of(fdef);
    Ref code = code_object(module, fdef, sig, qualname.get());

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
    f->defaults = sig.defaults ? sig.defaults->release() : nullptr;
    f->kwdefaults = sig.kwdefaults ? sig.kwdefaults->release() : nullptr;
    f->annotations = sig.annotations.release();
    f->varnames = sig.varnames.release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->nparams = std::ssize(fdef.params);
    f->npos = sig.npos;
    Ref result = Ref::own(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    if (f->doc == nullptr || f->module_name == nullptr) throw_error();
    return result;
}

}  // namespace qt
