// Trust material retrieval: the one network operation (`_get_json`) and
// the two online conveniences built on it. Nothing here is cached and no
// connection outlives a call.
#include "retrieval.hpp"

#include "base64.hpp"
#include "internals.hpp"
#include "json.hpp"
#include "records.hpp"

namespace qt::retrieval {
namespace {

// `type(obj).<name>` bound to obj, the way a with statement finds
// __enter__ and __exit__: never from the instance dict. nullopt (no error
// set) when the type lacks the name.
std::optional<Ref> lookup_special(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    std::optional<Ref> attr = Ref::own_optional(internals::type_lookup_ref(type, name));
    if (!attr) return attr;
    descrgetfunc bind = Py_TYPE(attr->get())->tp_descr_get;
    if (bind == nullptr) return attr;
    return own(bind(attr->get(), obj, reinterpret_cast<PyObject*>(type)));
}

[[noreturn]] void not_a_context(PyObject* mgr, const char* detail) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(mgr)->tp_name, detail);
    throw_error();
}

// While __exit__ runs for a failed read, the read's error is the one being
// handled, so that anything __exit__ raises is chained to it as in Python.
class HandledException {
public:
    explicit HandledException(PyObject* exc) : saved_(Ref::own_optional(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    // Skipped, as in ~Ref, while a daemon thread the interpreter ends at
    // exit unwinds through here with no thread state attached.
    ~HandledException() {
        if (PyThreadState_GetUnchecked() != nullptr) PyErr_SetHandledException(saved_ ? saved_->get() : nullptr);
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    std::optional<Ref> saved_;  // nullopt: none was being handled
};

// The standard opener's path: `with urlopen(url, timeout=timeout) as r:
// body = r.read()`, with the with statement's exact protocol, so the
// response is closed whether or not reading succeeds.
Ref read_with_standard_opener(const Call& c, PyObject* url, PyObject* timeout) {
    // Loaded only now: an agent that never fetches never pays for it.
    Ref fromlist = own(PyTuple_Pack(1, c.st->str_urlopen));
    Ref request =
        own(PyImport_ImportModuleLevelObject(c.st->str_urllib_request, c.globals, nullptr, fromlist.get(), 0));
    Ref urlopen = getattr(request.get(), c.st->str_urlopen);
    PyObject* argv[] = {url, timeout};
    Ref mgr = own(PyObject_Vectorcall(urlopen.get(), argv, 1, c.st->kw_timeout));

    std::optional<Ref> enter = lookup_special(mgr.get(), c.st->str_dunder_enter);
    if (!enter) not_a_context(mgr.get(), "");
    std::optional<Ref> exit = lookup_special(mgr.get(), c.st->str_dunder_exit);
    if (!exit) not_a_context(mgr.get(), " (missed __exit__ method)");
    Ref response = call(enter->get());

    Ref body;
    try {
        body = call_method(response.get(), c.st->str_read);
    } catch (const PyErrOccurred&) {
        // Every error, not only the Exception family, goes through
        // __exit__: this is context cleanup, not a guarded step.
        Ref err = take_error();
        bool suppressed;
        {
            HandledException handling(err.get());
            std::optional<Ref> tb = Ref::own_optional(PyException_GetTraceback(err.get()));
            Ref verdict =
                call(exit->get(), reinterpret_cast<PyObject*>(Py_TYPE(err.get())), err.get(), tb ? tb->get() : Py_None);
            suppressed = truthy(verdict.get());
        }
        if (!suppressed) rethrow(std::move(err));
        // A suppressing __exit__ leaves no body to parse, exactly as the
        // with statement would leave its target unassigned.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'body' where it is not associated with a value");
        throw_error();
    }
    call(exit->get(), Py_None, Py_None, Py_None);
    return body;
}

const Param kGetJsonParams[] = {
    {"url", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"fetch", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"timeout", "float", ParamKind::PositionalOrKeyword, Default::Required},
};

Ref get_json_impl(const Call& c, PyObject* const* args) {
    PyObject* url = args[0];
    PyObject* fetch = args[1];
    PyObject* timeout = args[2];

    // An identity test: any injected fetcher, even a falsy one, is used,
    // and the timeout is then the fetcher's own business.
    Ref body = fetch != Py_None ? call(fetch, url) : read_with_standard_opener(c, url, timeout);

    Ref doc = json::loads(c, body.get());
    if (!doc) throw_error();
    if (!PyDict_Check(doc.get())) {
        Ref url_text = own(PyObject_Format(url, nullptr));
        Ref message = own(PyUnicode_FromFormat("%U did not return a JSON object", url_text.get()));
        raise_passport_error(c, message.get());
    }
    return doc;
}

// `issuer_url.rstrip("/")`: one, several or no trailing slashes go, and
// nothing else is normalised.
Ref base_url(const Call& c, PyObject* issuer_url) {
    Ref slash = text("/");
    return call_method(issuer_url, c.st->str_rstrip, slash.get());
}

const Param kResolveKeysParams[] = {
    {"issuer_url", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"fetch", nullptr, ParamKind::KeywordOnly, Default::None},
    {"timeout", "float", ParamKind::KeywordOnly, Default::Float6},
};

constexpr const char kResolveKeysDoc[] =
    "Fetch ``<issuer_url>/.well-known/pqc-keys.json`` and return ``{kid: pk_bytes}``.\n"
    "\n"
    "Convenience for online use. A relying party that wants a strictly offline\n"
    "trust base pins the issuer key once and passes it to :func:`verify_passport`\n"
    "directly instead. ``fetch`` may be injected (a callable ``url -> bytes``) for\n"
    "tests or to route the request through your own HTTP client.";

Ref resolve_keys_impl(const Call& c, PyObject* const* args) {
    PyObject* fetch = args[1];
    PyObject* timeout = args[2];

    Ref suffix = text("/.well-known/pqc-keys.json");
    Ref base = base_url(c, args[0]);
    Ref url = own(PyNumber_Add(base.get(), suffix.get()));
    // Read through the module so that a rebound `_get_json` is honoured.
    Ref get_json = c.global(c.st->g_get_json);
    Ref doc = call(get_json.get(), url.get(), fetch, timeout);

    Ref result = own(PyDict_New());
    Ref no_entries = own(PyList_New(0));
    Ref entries = c.member(doc.get(), c.st->str_keys, no_entries.get());
    if (!truthy(entries.get())) entries = std::move(no_entries);

    // Only the decode-and-store step is guarded: a non-iterable "keys" or
    // an entry without `get` is a broken document and fails the call.
    Ref it = own(PyObject_GetIter(entries.get()));
    while (std::optional<Ref> entry = next_item(it.get())) {
        Ref alg = c.member(entry->get(), c.st->str_alg);
        Ref expected = c.global(c.st->g_ALG);
        Ref differs = own(PyObject_RichCompare(alg.get(), expected.get(), Py_NE));
        if (truthy(differs.get())) continue;
        Ref key_b64 = c.member(entry->get(), c.st->str_public_key_b64);
        Ref kid = c.member(entry->get(), c.st->str_kid);
        if (!truthy(key_b64.get()) || !truthy(kid.get())) continue;
        try {
            // Non-strict on purpose: characters outside the standard
            // alphabet (url-safe "-" and "_" among them) are discarded.
            Ref key = base64::b64decode(c, key_b64.get(), false);
            if (!key) throw_error();
            Ref kid_text = PyUnicode_Check(kid.get()) ? kid.copy() : own(PyObject_Str(kid.get()));
            check(PyDict_SetItem(result.get(), kid_text.get(), key.get()));
        } catch (const PyErrOccurred&) {
            if (!error_is_exception()) throw;
            take_error();  // an unusable entry is skipped without a report
        }
    }
    return result;
}

const Param kFetchCrlParams[] = {
    {"issuer_url", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"kid", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"fetch", nullptr, ParamKind::KeywordOnly, Default::None},
    {"timeout", "float", ParamKind::KeywordOnly, Default::Float6},
};

constexpr const char kFetchCrlDoc[] = "Fetch the revocation list ``<issuer_url>/passport/crl/<kid>.json``.";

Ref fetch_crl_impl(const Call& c, PyObject* const* args) {
    PyObject* fetch = args[2];
    PyObject* timeout = args[3];

    Ref base = base_url(c, args[0]);
    Ref base_text = own(PyObject_Format(base.get(), nullptr));
    // The kid goes in verbatim: no escaping, and an integer gives its digits.
    Ref kid_text = own(PyObject_Format(args[1], nullptr));
    Ref url = own(PyUnicode_FromFormat("%U/passport/crl/%U.json", base_text.get(), kid_text.get()));
    Ref get_json = c.global(c.st->g_get_json);
    return call(get_json.get(), url.get(), fetch, timeout);
}

}  // namespace

const FunctionDef resolve_keys_from_wellknown = {
    "resolve_keys_from_wellknown",
    "resolve_keys_from_wellknown",
    kResolveKeysParams,
    "dict",
    kResolveKeysDoc,
    resolve_keys_impl,
};

const FunctionDef fetch_crl = {
    "fetch_crl", "fetch_crl", kFetchCrlParams, "dict", kFetchCrlDoc, fetch_crl_impl,
};

const FunctionDef get_json = {
    "_get_json", "_get_json", kGetJsonParams, "dict", nullptr, get_json_impl,
};

}  // namespace qt::retrieval
