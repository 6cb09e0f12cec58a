// Native equivalents of the host decoders the module calls most: base64
// (binascii.a2b_base64 behind base64.urlsafe_b64decode and b64decode) and
// json.loads. Each entry point goes through the module's own binding of the
// host module; the native decoder is used only while that binding and its
// function are the ones bound at import, and only for input it handles
// exactly as the host does. Everything else is handed to the host.
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
