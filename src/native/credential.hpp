// Credential model and decoding: the records and error class, the
// base64url and key-id encodings, key coercion, the lazily loaded
// signature primitives, and envelope decoding.
#pragma once
#include "support.hpp"

namespace qt::credential {

// Define PassportError, DecodedPassport and PassportVerdict in the module.
void define_classes(PyObject* module);

extern const FunctionSpec b64u_decode;
extern const FunctionSpec b64u_encode;
extern const FunctionSpec load_crypto;
extern const FunctionSpec kid_for_key;
extern const FunctionSpec coerce_key;
extern const FunctionSpec decode_passport;

}  // namespace qt::credential
