// quorvel_trellane.passport: the module's entry. It reads as the module's
// table of contents: the imports, the constants, the classes, and the
// functions in their order.
#include "credential.hpp"
#include "function.hpp"
#include "guard.hpp"
#include "inputs.hpp"
#include "keys.hpp"
#include "present.hpp"
#include "records.hpp"
#include "retrieval.hpp"
#include "state.hpp"
#include "verify.hpp"

namespace {

using namespace qt;

constexpr const char kModuleDoc[] =
    "quorvel_trellane.passport -- offline client for Quorvel Agent Passports.\n"
    "\n"
    "An Agent Passport is a Falcon-1024 (FIPS 206) signed credential that binds an\n"
    "agent DID to a set of scopes, a spend bound and an expiry. It is issued by a\n"
    "federated operator.\n"
    "\n"
    "This module is the client half of the scheme. It has two jobs:\n"
    "\n"
    "* PRESENT: ``x402_headers``, ``a2a_message_metadata`` and ``load_credential``\n"
    "  attach the agent's own passport to outbound x402 requests and A2A messages.\n"
    "* VERIFY: ``verify_passport`` checks a received passport fully offline,\n"
    "  against the issuer's published key, with a trust base of ``rfc8785``,\n"
    "  ``pqcrypto`` and the standard library, and no Quorvel service in the\n"
    "  trust path.\n"
    "\n"
    "A credential is ``base64url(envelope)``, where the envelope is the JSON object\n"
    "``{\"payload\": {...}, \"alg\": \"Falcon-1024\", \"kid\": ..., \"sig\": <b64url>}``.\n"
    "\n"
    "The signature covers the RFC 8785 canonical bytes of the payload. The kid,\n"
    "``sha256(public_key)[:16]`` in hexadecimal, binds the key to the credential:\n"
    "a verifier recomputes it from whatever key it resolves and refuses a\n"
    "mismatch, so a swapped key can never validate.\n"
    "\n"
    "A verdict's status is one of \"active\", \"revoked\", \"expired\", \"invalid\" or\n"
    "\"unverifiable\". \"unverifiable\" is the fail-closed outcome: when the\n"
    "signature cannot be checked (no issuer key) or revocation cannot be\n"
    "confirmed, validity is not asserted.\n";

// The functions in the order the module binds them.
const FunctionDef* const kFunctions[] = {
    &credential::b64u_decode,
    &credential::b64u_encode,
    &credential::load_crypto,
    &credential::kid_for_key,
    &credential::coerce_key,
    &credential::decode_passport,
    &inputs::is_expired,
    &inputs::revoked_ids,
    &verify::verify_passport,
    &keys::resolve_key,
    &retrieval::resolve_keys_from_wellknown,
    &retrieval::fetch_crl,
    &retrieval::get_json,
    &present::load_credential,
    &present::x402_headers,
    &present::a2a_message_metadata,
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// `import name` or `from name import attr`, bound in the module.
void import_into(PyObject* module, const char* name, const char* attr = nullptr) {
    Ref mod = own(PyImport_ImportModule(name));
    if (attr == nullptr) {
        check(PyModule_AddObjectRef(module, name, mod.get()));
        return;
    }
    Ref value = own(PyObject_GetAttrString(mod.get(), attr));
    check(PyModule_AddObjectRef(module, attr, value.get()));
}

void add_text(PyObject* module, const char* name, const char* value) {
    Ref v = text(value);
    check(PyModule_AddObjectRef(module, name, v.get()));
}

int passport_exec(PyObject* module) noexcept {
    try {
        ModuleState* st = state_of(module);
        check(state_init(st));
        st->function_type = make_function_type(module);
        if (st->function_type == nullptr) throw_error();

        // The standard modules the functions use, bound as module names.
        import_into(module, "base64");
        import_into(module, "hashlib");
        import_into(module, "json");
        import_into(module, "dataclasses", "dataclass");
        import_into(module, "datetime", "datetime");
        import_into(module, "datetime", "timezone");

        // Constants.
        check(PyModule_AddIntConstant(module, "FALCON_1024_PUBLIC_KEY_BYTES", 1793));
        add_text(module, "_ALG", "Falcon-1024");
        add_text(module, "_TS_FMT", "%Y-%m-%dT%H:%M:%SZ");
        add_text(module, "X402_PASSPORT_HEADER", "X-Agent-Passport");
        add_text(module, "A2A_PASSPORT_METADATA_KEY", "quorvel.com/agent-passport");
        add_text(module, "PASSPORT_ENV_VAR", "QUORVEL_AGENT_PASSPORT");

        // PassportError, DecodedPassport, PassportVerdict.
        records::define_classes(module);

        for (const FunctionDef* fdef : kFunctions) {
            Ref fn = make_function(module, *fdef);
            check(PyModule_AddObjectRef(module, fdef->name, fn.get()));
        }
        // What the fast paths stand in for, as the import leaves it.
        capture_originals(module, st);
        return 0;
    } catch (const PyErrOccurred&) {
        return -1;
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quorvel_trellane.passport failed to initialise");
        return -1;
    }
}

int passport_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    return st != nullptr ? state_traverse(st, visit, arg) : 0;
}

int passport_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st != nullptr) state_clear(st);
    return 0;
}

void passport_free(void* module) { passport_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot passport_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(passport_exec)},
    // Everything the module keeps is in its state (or in its interpreter's
    // own dict), so each interpreter, even one with its own GIL, has its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef passport_def = {
    PyModuleDef_HEAD_INIT, "quorvel_trellane.passport", kModuleDoc,     sizeof(ModuleState), nullptr,
    passport_slots,        passport_traverse,           passport_clear, passport_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_passport() { return PyModuleDef_Init(&passport_def); }
