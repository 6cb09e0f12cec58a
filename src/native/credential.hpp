// Credential decoding: the base64url and key-id encodings, key coercion,
// the lazily loaded signature primitives, and envelope decoding.
#pragma once
#include "function.hpp"

namespace qt::credential {

// The five fields of a DecodedPassport, in its order.
struct DecodedValues {
    Ref payload, alg, kid, sig, signed_bytes;
};

// decode_passport(credential) short of building the record: false with the
// error it raises set (a PassportError for every structural defect). May
// also throw PyErrOccurred for a failure of the interpreter or of a
// component, as decode_passport would raise it.
bool decode_values(const Call& c, PyObject* credential, DecodedValues& out);

extern const FunctionDef b64u_decode;
extern const FunctionDef b64u_encode;
extern const FunctionDef load_crypto;
extern const FunctionDef kid_for_key;
extern const FunctionDef coerce_key;
extern const FunctionDef decode_passport;

}  // namespace qt::credential
