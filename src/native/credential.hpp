// Credential decoding: the base64url and key-id encodings, key coercion,
// the lazily loaded signature primitives, and envelope decoding.
#pragma once
#include "function.hpp"

namespace qt::credential {

// The five fields of a DecodedPassport, in its order.
struct DecodedValues {
    Ref payload, alg, kid, sig, signed_bytes;
};

// decode_passport(credential) short of building the record, a decoder
// (ref.hpp): false with the error decode_passport would raise set (a
// PassportError for every structural defect, or the error of the
// interpreter or of a component as it is). Never throws.
bool decode_values(const Call& c, PyObject* credential, DecodedValues& out);

extern const FunctionDef b64u_decode;
extern const FunctionDef b64u_encode;
extern const FunctionDef load_crypto;
extern const FunctionDef kid_for_key;
extern const FunctionDef coerce_key;
extern const FunctionDef decode_passport;

}  // namespace qt::credential
