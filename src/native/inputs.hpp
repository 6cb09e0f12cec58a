// The inputs of verification besides the issuer key: the expiry stamp
// (`_is_expired`), the verification time, and the revoked ids
// (`_revoked_ids`, and whether a passport id is among them).
#pragma once
#include "function.hpp"

#include <optional>

namespace qt::inputs {

extern const FunctionDef is_expired;
extern const FunctionDef revoked_ids;

// `now` as given, or the current time in UTC when it is false.
Ref verification_time(const Call& c, PyObject* now);

// Whether the passport id is among the revoked ids, when that is known
// without building their set.
enum class Member { Yes, No, Unknown };

// The inputs of the revocation check: the revoked ids (or their answer)
// and the passport id, read in the pipeline's order.
struct Revocation {
    bool absent = false;
    Member member = Member::Unknown;  // decided without the set
    std::optional<Ref> set;           // otherwise the set _revoked_ids built
    Ref passport_id;
};

// Through the module's _revoked_ids, or, while it is the original, as it
// would answer; then the payload's passport id as text.
Revocation revocation(const Call& c, PyObject* crl, PyObject* payload);

}  // namespace qt::inputs
