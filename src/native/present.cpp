// Credential presentation: loading the agent's own credential and wrapping
// it for x402 requests and A2A messages. Purely local and never validates
// the credential, so presenting needs neither the signature primitives nor
// the HTTP client.
#include "present.hpp"

namespace qt::present {
namespace {

Ref read_credential_file(const Call& c, PyObject* source) {
    // pathlib is loaded on first use, not when the module is imported.
    Ref fromlist = own(PyTuple_Pack(1, c.st->Path));
    Ref pathlib = own(PyImport_ImportModuleLevelObject(c.st->mod_pathlib, c.globals, nullptr,
                                                       fromlist.get(), 0));
    Ref path_type = getattr(pathlib.get(), c.st->Path);
    Ref path = call(path_type.get(), source);
    Ref read_text = getattr(path.get(), c.st->read_text);
    PyObject* argv[] = {c.st->utf_8};
    Ref content = own(PyObject_Vectorcall(read_text.get(), argv, 0, c.st->kw_encoding));
    // An empty file gives empty text: the file, once named, is the only
    // source, and the empty credential is reported when it is decoded.
    return call_method(content.get(), c.st->strip);
}

Ref read_credential_env(const Call& c) {
    Ref os = own(PyImport_ImportModuleLevelObject(c.st->mod_os, c.globals, nullptr, nullptr, 0));
    Ref environ = getattr(os.get(), c.st->environ);
    Ref var_name = c.global(c.st->g_PASSPORT_ENV_VAR);
    Ref value = call_method(environ.get(), c.st->get, var_name.get(), c.st->empty_text);
    Ref credential = call_method(value.get(), c.st->strip);
    if (!truthy(credential.get())) {
        Ref name_text = own(PyObject_Format(var_name.get(), nullptr));
        Ref message = own(PyUnicode_FromFormat("no credential given and %U is unset", name_text.get()));
        raise_passport_error(c, message.get());
    }
    return credential;
}

Ref load_credential_impl(const Call& c, PyObject* const* args) {
    PyObject* source = args[0];
    // A truth test, so source "" falls back to the environment too.
    if (truthy(source)) return read_credential_file(c, source);
    return read_credential_env(c);
}

Ref x402_headers_impl(const Call& c, PyObject* const* args) {
    Ref headers = own(PyDict_New());
    Ref name = c.global(c.st->g_X402_PASSPORT_HEADER);
    check(PyDict_SetItem(headers.get(), name.get(), args[0]));
    return headers;
}

Ref a2a_message_metadata_impl(const Call& c, PyObject* const* args) {
    PyObject* credential = args[0];
    PyObject* metadata = args[1];
    // dict(metadata) takes a shallow copy (or reads key/value pairs), so the
    // caller's mapping is never changed while its values are shared.
    Ref result = truthy(metadata) ? own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), metadata))
                                  : own(PyDict_New());
    Ref key = c.global(c.st->g_A2A_PASSPORT_METADATA_KEY);
    check(PyDict_SetItem(result.get(), key.get(), credential));
    return result;
}

const Param load_credential_params[] = {
    {"source", "str | None", ParamKind::PositionalOrKeyword, Default::None},
};

const Param x402_headers_params[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
};

const Param a2a_message_metadata_params[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"metadata", "dict | None", ParamKind::PositionalOrKeyword, Default::None},
};

constexpr const char load_credential_doc[] =
    "Load an agent's own passport credential.\n"
    "\n"
    "``source`` may be a path to a file whose contents are the credential. If\n"
    "omitted, the credential is read from the ``PASSPORT_ENV_VAR`` environment\n"
    "variable (``QUORVEL_AGENT_PASSPORT``).";

constexpr const char x402_headers_doc[] = "HTTP header(s) that present a passport on an x402 request.";

constexpr const char a2a_message_metadata_doc[] =
    "Return A2A message metadata carrying the passport under a namespaced key.\n"
    "\n"
    "Pass an existing ``metadata`` mapping to extend it (a copy is returned; the\n"
    "input is not mutated), or omit it to get a fresh one.";

}  // namespace

const FunctionDef load_credential = {
    "load_credential", "load_credential", load_credential_params, 1, "str", load_credential_doc,
    load_credential_impl,
};

const FunctionDef x402_headers = {
    "x402_headers", "x402_headers", x402_headers_params, 1, "dict", x402_headers_doc, x402_headers_impl,
};

const FunctionDef a2a_message_metadata = {
    "a2a_message_metadata", "a2a_message_metadata", a2a_message_metadata_params, 2, "dict",
    a2a_message_metadata_doc, a2a_message_metadata_impl,
};

}  // namespace qt::present
