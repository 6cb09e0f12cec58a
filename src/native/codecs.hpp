// Native equivalents of the host decoders the module calls most: base64
// (binascii.a2b_base64 behind base64.urlsafe_b64decode and b64decode) and
// json.loads. The native decoder is used only while the guard of the host
// function holds (the module's binding of the host module and everything
// the host function reads are the ones of import), and only for input it
// handles exactly as the host does. Everything else is handed to the host
// function through the module's binding.
#pragma once
#include "support.hpp"

namespace qt::codecs {

// `base64.urlsafe_b64decode(data)`.
Ref urlsafe_b64decode(const Call& c, PyObject* data);
// `base64.b64decode(data)`, or with `validate=True`.
Ref b64decode(const Call& c, PyObject* data, bool validate);
// `json.loads(data)`.
Ref json_loads(const Call& c, PyObject* data);

}  // namespace qt::codecs
