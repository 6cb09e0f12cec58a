// Native equivalents of the host's base64 decoders (binascii.a2b_base64
// behind base64.urlsafe_b64decode and b64decode). The native decoder is
// used only while the guard of the host function holds (the module's
// binding of base64 and everything the host function reads are the ones
// of import), and only for text; anything else is handed to the host
// function through the module's binding.
#pragma once
#include "state.hpp"

namespace qt::base64 {

// Each decoder returns its result, or Ref::error() with the error set when
// decoding fails: on hostile input that is the common outcome, reported
// without unwinding. Nothing here throws (ref.hpp: the decoders' channel).

// `base64.urlsafe_b64decode(data)`.
Ref urlsafe_b64decode(const Call& c, PyObject* data);
// `base64.urlsafe_b64decode(text + "=" * pad)`, without the concatenation
// while the native decoder applies (0 <= pad <= 3).
Ref urlsafe_b64decode_padded(const Call& c, PyObject* text, Py_ssize_t pad);
// The native url-safe decoder on ASCII characters followed by `pad` "=",
// for callers that have checked the guard of base64.urlsafe_b64decode.
Ref urlsafe_b64decode_ascii(const Call& c, const char* text, Py_ssize_t n, Py_ssize_t pad);
// `base64.b64decode(data)`, or with `validate=True`.
Ref b64decode(const Call& c, PyObject* data, bool validate);

}  // namespace qt::base64
