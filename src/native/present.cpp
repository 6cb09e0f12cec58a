// Credential presentation: loading the agent's own credential and wrapping
// it for x402 requests and A2A messages. Purely local and never validates
// the credential, so presenting needs neither the signature primitives nor
// the HTTP client.
#include "present.hpp"

#include "records.hpp"

namespace qt::present {
namespace {

Ref read_credential_file(const Call& c, PyObject* source) {
    // pathlib is loaded on first use, not when the module is imported.
    Ref fromlist = own(PyTuple_Pack(1, c.st->str_Path));
    Ref pathlib = own(PyImport_ImportModuleLevelObject(c.st->str_pathlib, c.globals, nullptr, fromlist.get(), 0));
    Ref path_type = getattr(pathlib.get(), c.st->str_Path);
    Ref path = call(path_type.get(), source);
    Ref read_text = getattr(path.get(), c.st->str_read_text);
    PyObject* argv[] = {c.st->str_utf_8};
    Ref content = own(PyObject_Vectorcall(read_text.get(), argv, 0, c.st->kw_encoding));
    // An empty file gives empty text: the file, once named, is the only
    // source, and the empty credential is reported when it is decoded.
    return call_method(content.get(), c.st->str_strip);
}

Ref read_credential_env(const Call& c) {
    Ref os = own(PyImport_ImportModuleLevelObject(c.st->str_os, c.globals, nullptr, nullptr, 0));
    Ref environ = getattr(os.get(), c.st->str_environ);
    Ref var_name = c.global(c.st->g_PASSPORT_ENV_VAR);
    Ref value = call_method(environ.get(), c.st->str_get, var_name.get(), c.st->empty_text);
    Ref credential = call_method(value.get(), c.st->str_strip);
    if (!truthy(credential.get())) {
        Ref name_text = own(PyObject_Format(var_name.get(), nullptr));
        Ref message = own(PyUnicode_FromFormat("no credential given and %U is unset", name_text.get()));
        raise_passport_error(c, message.get());
    }
    return credential;
}

const Param kLoadCredentialParams[] = {
    {"source", "str | None", ParamKind::PositionalOrKeyword, Default::None},
};

constexpr const char kLoadCredentialDoc[] =
    "Load an agent's own passport credential.\n"
    "\n"
    "``source`` may be a path to a file whose contents are the credential. If\n"
    "omitted, the credential is read from the ``PASSPORT_ENV_VAR`` environment\n"
    "variable (``QUORVEL_AGENT_PASSPORT``).";

Ref load_credential_impl(const Call& c, PyObject* const* args) {
    PyObject* source = args[0];
    // A truth test, so source "" falls back to the environment too.
    if (truthy(source)) return read_credential_file(c, source);
    return read_credential_env(c);
}

const Param kX402HeadersParams[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
};

constexpr const char kX402HeadersDoc[] = "HTTP header(s) that present a passport on an x402 request.";

Ref x402_headers_impl(const Call& c, PyObject* const* args) {
    Ref headers = own(PyDict_New());
    Ref name = c.global(c.st->g_X402_PASSPORT_HEADER);
    check(PyDict_SetItem(headers.get(), name.get(), args[0]));
    return headers;
}

const Param kA2aMessageMetadataParams[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"metadata", "dict | None", ParamKind::PositionalOrKeyword, Default::None},
};

constexpr const char kA2aMessageMetadataDoc[] =
    "Return A2A message metadata carrying the passport under a namespaced key.\n"
    "\n"
    "Pass an existing ``metadata`` mapping to extend it (a copy is returned; the\n"
    "input is not mutated), or omit it to get a fresh one.";

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

}  // namespace

const FunctionDef load_credential = {
    "load_credential", "load_credential", kLoadCredentialParams, "str", kLoadCredentialDoc, load_credential_impl,
};

const FunctionDef x402_headers = {
    "x402_headers", "x402_headers", kX402HeadersParams, "dict", kX402HeadersDoc, x402_headers_impl,
};

const FunctionDef a2a_message_metadata = {
    "a2a_message_metadata", "a2a_message_metadata",    kA2aMessageMetadataParams, "dict",
    kA2aMessageMetadataDoc, a2a_message_metadata_impl,
};

}  // namespace qt::present
