// The one guard of every native fast path. A fast path stands in for a
// host function only while everything that function depends on is still
// what it was when the module was imported; the originals are kept in the
// module state (guard.cpp; the pins themselves in pins.cpp).
#pragma once
#include "state.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace qt {

// The host functions a native fast path stands in for.
enum class Guard {
    UrlsafeB64decode,  // base64.urlsafe_b64decode
    B64decode,         // base64.b64decode
    JsonLoads,         // json.loads
    Expiry,            // datetime.strptime under _TS_FMT, then replace(tzinfo=timezone.utc)
    DecodedRecord,     // DecodedPassport(**fields)
    DecodeForVerify,   // decode_passport(credential) whose record is only read back, field by field
    VerdictRecord,     // PassportVerdict(**fields)
    RevokedIds,        // the module's own _revoked_ids
    B64uDecode,        // the module's own _b64u_decode
    KidForKey,         // the module's own kid_for_key over hashlib.sha256
    FalconVerify,      // pqcrypto's Falcon-1024 verify, as first loaded
    Canonicaliser,     // rfc8785.dumps as the module's _load_crypto supplies it
    Count
};

// True while everything the host function `which` depends on is still what
// it was when the module was imported -- the module's binding of the host
// module, the host module's names that the function and its helpers read,
// the code, defaults and keyword defaults of each of those Python
// functions, and the class attributes and instance state they reach. When
// it is false the fast path must call the host function instead. It never
// raises.
bool originals_in_place(const Call& c, Guard which);

// Capture the originals (in the exec slot, after the classes are defined).
void capture_originals(PyObject* module, ModuleState* st);
// Capture the Falcon-1024 verify function when first loaded (no-op after).
// Never raises.
void note_verifier(ModuleState* st, PyObject* falcon_verify);
// Called by _load_crypto with the canonicaliser module each time it is
// imported: the first time it is rfc8785 with its own dumps, that module,
// its dumps and what dumps reads are kept as the originals of
// Guard::Canonicaliser, which holds only from then on. Never raises.
void note_canonicaliser(ModuleState* st, PyObject* rfc8785);

// A stamp of the namespaces the guard watches: while it stays the same,
// none of them changed. `dicts` (an interpreter's module table, a module's
// namespace) are watched from now on. nullopt when no namespace can be
// watched (then nothing may be taken as unchanged). Never raises.
std::optional<std::uint64_t> watched_stamp(ModuleState* st, std::initializer_list<PyObject*> dicts);

// For the module state's traverse and clear.
int traverse_originals(Originals* originals, visitproc visit, void* arg);
void drop_originals(ModuleState* st);

}  // namespace qt
