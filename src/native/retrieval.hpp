// Trust material retrieval: one JSON document fetch, the well-known key
// set and the revocation list.
#pragma once
#include "function.hpp"

namespace qt::retrieval {

extern const FunctionDef resolve_keys_from_wellknown;
extern const FunctionDef fetch_crl;
extern const FunctionDef get_json;

}  // namespace qt::retrieval
