// Offline verification: expiry and revocation inputs, issuer key
// resolution, and the verification pipeline.
#pragma once
#include "support.hpp"

namespace qt::verify {

extern const FunctionSpec is_expired;
extern const FunctionSpec revoked_ids;
extern const FunctionSpec verify_passport;
extern const FunctionSpec resolve_key;

}  // namespace qt::verify
