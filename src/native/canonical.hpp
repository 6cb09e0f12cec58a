// RFC 8785 (JSON Canonicalization Scheme) bytes written natively, for the
// part of the canonicaliser's domain where they can be shown equal to what
// `rfc8785.dumps` writes; everything else is left to the canonicaliser.
#pragma once
#include "state.hpp"

#include <optional>

namespace qt::canonical {

// The RFC 8785 bytes of `value` when every part of it is an exact dict with
// exact str keys, an exact list, an exact str without surrogate code points,
// an exact int within +-(2^53 - 1), True, False or None, nested no deeper
// than the canonicaliser itself could go from here; otherwise nullopt, with
// no error set: the host decides, for the whole value. Throws only for a
// failure of its own (no memory).
std::optional<Ref> native_dumps(PyObject* value);

// `dumps(payload)`, where `rfc8785` is the canonicaliser the module's
// `_load_crypto` returned for this call and `dumps` its `dumps`. Written
// natively while the fast-path guard finds the canonicaliser original (the
// loader, the module and its dumps, and what dumps reads) and the payload
// lies in the native subset; otherwise `dumps` is called, so its result and
// its errors are exactly its own.
Ref signed_bytes(const Call& c, PyObject* rfc8785, PyObject* dumps, PyObject* payload);

}  // namespace qt::canonical
