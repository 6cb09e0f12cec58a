// Credential model and decoding: the records and error class, the
// base64url and key-id encodings, key coercion, the lazily loaded
// signature primitives, and envelope decoding.
#pragma once
#include "support.hpp"

namespace qt::credential {

// Define PassportError, DecodedPassport and PassportVerdict in the module.
void define_classes(PyObject* module);

// `base64.urlsafe_b64decode(data)` and `base64.b64decode(data, validate=...)`
// through the module's base64 binding. Text is decoded natively, with the
// same results and errors, while that binding and function are the ones
// bound at import.
Ref urlsafe_b64decode(const Call& c, PyObject* data);
Ref b64decode(const Call& c, PyObject* data, bool validate);

extern const FunctionSpec b64u_decode;
extern const FunctionSpec b64u_encode;
extern const FunctionSpec load_crypto;
extern const FunctionSpec kid_for_key;
extern const FunctionSpec coerce_key;
extern const FunctionSpec decode_passport;

}  // namespace qt::credential
