// Trust material retrieval: one JSON document fetch, the well-known key
// set and the revocation list.
#pragma once
#include "support.hpp"

namespace qt::retrieval {

extern const FunctionSpec resolve_keys_from_wellknown;
extern const FunctionSpec fetch_crl;
extern const FunctionSpec get_json;

}  // namespace qt::retrieval
