// Credential decoding: the base64url and key-id encodings, key coercion,
// the lazily loaded signature primitives, and envelope decoding.
#pragma once
#include "function.hpp"

namespace qt::credential {

extern const FunctionDef b64u_decode;
extern const FunctionDef b64u_encode;
extern const FunctionDef load_crypto;
extern const FunctionDef kid_for_key;
extern const FunctionDef coerce_key;
extern const FunctionDef decode_passport;

}  // namespace qt::credential
