// Offline verification: expiry and revocation inputs, issuer key
// resolution, and the verification pipeline.
#pragma once
#include "function.hpp"

namespace qt::verify {

extern const FunctionDef is_expired;
extern const FunctionDef revoked_ids;
extern const FunctionDef verify_passport;
extern const FunctionDef resolve_key;

}  // namespace qt::verify
