// The records and the error class: PassportError, DecodedPassport and
// PassportVerdict as the module defines them, their accessors, building a
// record, and raising PassportError.
#include "records.hpp"

#include "guard.hpp"

#include <iterator>

namespace qt {

namespace {

// --- Record accessors -------------------------------------------------------

const Param kSelfParams[] = {{"self", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

Ref payload_of(const Call& c, PyObject* self) { return getattr(self, c.st->str_payload); }

Ref agent_did_impl(const Call& c, PyObject* const* args) {
    return records::agent_did_of(c, payload_of(c, args[0]).get());
}
Ref issuer_did_impl(const Call& c, PyObject* const* args) {
    return records::issuer_did_of(c, payload_of(c, args[0]).get());
}
Ref scopes_impl(const Call& c, PyObject* const* args) { return records::scopes_of(c, payload_of(c, args[0]).get()); }

// The verdict's truth is its verified field, passed through unconverted:
// a non-bool there makes bool() raise, which is the host's own rule.
Ref verdict_bool_impl(const Call& c, PyObject* const* args) { return getattr(args[0], c.st->str_verified); }

const FunctionDef kAgentDid = {
    "agent_did", "DecodedPassport.agent_did", kSelfParams, "str | None", nullptr, agent_did_impl,
};
const FunctionDef kIssuerDid = {
    "issuer_did", "DecodedPassport.issuer_did", kSelfParams, "str | None", nullptr, issuer_did_impl,
};
const FunctionDef kScopes = {
    "scopes", "DecodedPassport.scopes", kSelfParams, "tuple[str, ...]", nullptr, scopes_impl,
};
const FunctionDef kVerdictBool = {
    "__bool__", "PassportVerdict.__bool__", kSelfParams, "bool", nullptr, verdict_bool_impl,
};

struct Field {
    const char* name;
    const char* annotation;
    enum { Required, NoneDefault, EmptyTuple } default_;
};

const Field kDecodedFields[] = {
    {"payload", "dict", Field::Required},       {"alg", "str", Field::Required},
    {"kid", "str | None", Field::Required},     {"sig", "bytes", Field::Required},
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

}  // namespace

// --- Raising PassportError and building records -----------------------------

Ref set_passport_error(const Call& c, PyObject* message, PyObject* cause) {
    Ref cls = c.global(c.st->g_PassportError);
    Ref exc = call(cls.get(), message);
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return Ref::error();
    }
    if (cause != nullptr) {
        // As `raise PassportError(...) from err` inside the handler of err.
        PyException_SetCause(exc.get(), Py_NewRef(cause));
        PyException_SetContext(exc.get(), Py_NewRef(cause));
        PyErr_SetRaisedException(exc.release());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    return Ref::error();
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
        if (value == nullptr) value = name == c.st->str_scopes ? c.st->empty_tuple : Py_None;
        check(PyObject_GenericSetAttr(obj.get(), name, value));
    }
    return obj;
}

namespace records {

Ref agent_did_of(const Call& c, PyObject* payload) { return c.member(payload, c.st->str_agent_did); }
Ref issuer_did_of(const Call& c, PyObject* payload) { return c.member(payload, c.st->str_issuer_did); }

Ref scopes_of(const Call& c, PyObject* payload) {
    Ref value = c.member(payload, c.st->str_scopes);
    if (!truthy(value.get())) return borrow(c.st->empty_tuple);
    // A true value that is not iterable raises the tuple conversion's TypeError.
    return own(PySequence_Tuple(value.get()));
}

void define_classes(PyObject* module) {
    {
        PyObject* err = PyErr_NewExceptionWithDoc(
            "quorvel_trellane.passport.PassportError",
            "A passport credential is structurally malformed (not merely invalid).", PyExc_Exception, nullptr);
        Ref cls = own(err);
        check(PyModule_AddObjectRef(module, "PassportError", cls.get()));
    }
    {
        Ref ns =
            record_namespace("DecodedPassport", "The parsed envelope of a passport, before any cryptographic check.",
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

}  // namespace records

}  // namespace qt
