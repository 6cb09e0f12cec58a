// The records and the error class: PassportError, DecodedPassport and
// PassportVerdict, building a record, and raising PassportError.
#pragma once
#include "function.hpp"
#include "state.hpp"

namespace qt {

// Raise `PassportError(message)` read from the module namespace now, with
// `cause` (may be NULL) attached as __cause__ and __context__.
[[noreturn]] void raise_passport_error(const Call& c, PyObject* message, PyObject* cause = nullptr);
[[noreturn]] void raise_passport_error(const Call& c, const char* message, PyObject* cause = nullptr);
// The same error, set without unwinding: returns Ref::error(). Used on
// paths taken for every malformed credential, where a C++ throw would
// cost more than the rest of the call.
Ref set_passport_error(const Call& c, PyObject* message, PyObject* cause = nullptr);
Ref set_passport_error(const Call& c, const char* message, PyObject* cause = nullptr);

// Build a record as `cls(**dict(zip(kwnames, values)))`. While cls is the
// module's own record class with its generated __init__, the fields are
// set directly, as that __init__ would set them; otherwise cls is called.
Ref build_record(const Call& c, PyObject* cls, PyObject* const* values, PyObject* kwnames);

namespace records {

// DecodedPassport's agent_did, issuer_did and scopes, from its payload.
Ref agent_did_of(const Call& c, PyObject* payload);
Ref issuer_did_of(const Call& c, PyObject* payload);
Ref scopes_of(const Call& c, PyObject* payload);

// Define PassportError, DecodedPassport and PassportVerdict in the module.
void define_classes(PyObject* module);

}  // namespace records

}  // namespace qt
