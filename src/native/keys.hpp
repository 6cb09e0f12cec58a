// Issuer key resolution (`_resolve_key`) and the key id of a resolved key.
#pragma once
#include "function.hpp"

namespace qt::keys {

extern const FunctionDef resolve_key;

// `kid_for_key(pk)` as the module binds it; the id of the last key is
// reused for equal bytes while that function is the module's own.
Ref key_id(const Call& c, PyObject* pk);

}  // namespace qt::keys
