// A native equivalent of the host's json.loads. The native reader is used
// only while the guard of json.loads holds (the module's binding of json
// and everything json.loads reads are the ones of import), and only for a
// document it reads exactly as the host does; everything else is handed to
// the host function through the module's binding.
#pragma once
#include "state.hpp"

namespace qt::json {

// Characters of the decoded document, left in place.
struct TextSpan {
    const char* data = nullptr;
    Py_ssize_t size = 0;
};

// `json.loads(data)`, or Ref::error() with the error set when the document
// does not parse (or the interpreter fails); never throws (ref.hpp). With `sig`, when
// the native reader parses the document, a top-level member "sig" holding
// plain ASCII text without escapes is left out of the result and its
// characters are given in *sig instead (they live as long as data);
// otherwise *sig stays empty.
Ref loads(const Call& c, PyObject* data, TextSpan* sig = nullptr);

}  // namespace qt::json
