// pqcrypto's compiled Falcon-1024 library, reached past its Python wrapper.
//
// The wrapper's verify calls the library's crypto_sign_verify, which hashes
// the nonce and the message to a point with the constant-time sampler: a
// third of the check's work, there so that signing leaks nothing about a
// secret message. In a verification both are public, and the library also
// exports the variable-time sampler and every other step of the check; the
// check composed from them here decides as crypto_sign_verify does, step by
// step, with that one sampler exchanged. The two samplers draw the same
// stream and keep the same draws; they can differ only where fewer than 1024
// of the constant-time sampler's first 1311 draws are usable, which its
// design puts below 2^-256 and which no one can steer, the draws being
// SHAKE-256 output. Written here: nothing but the order of the calls and the
// length checks between them, as the library's own check makes them, and
// the memory of the last key's decoded form (the key's bytes compared in
// full: its form depends on nothing else).
#include "falcon.hpp"

#include <cstdint>
#include <cstring>

#if __has_include(<dlfcn.h>)
#include <dlfcn.h>
#define QT_FALCON_PIECES 1
#endif

namespace qt::falcon {

namespace {

constexpr const char kCheck[] = "PQCLEAN_FALCON1024_CLEAN_crypto_sign_verify";
constexpr const char kCheckType[] = "int(*)(uint8_t *, size_t, uint8_t *, size_t, uint8_t *)";

// Falcon-1024 as the library's check reads it: a key is a header byte and
// 1024 coefficients of 14 bits; a signature a header byte, a 40-byte nonce
// and the compressed vector.
constexpr unsigned kLogn = 10;
constexpr size_t kN = size_t{1} << kLogn;
constexpr Py_ssize_t kKeyBytes = 1793;
constexpr Py_ssize_t kMaxSigBytes = 1462;
constexpr size_t kNonceBytes = 40;
// A compressed vector followed by zero bytes is accepted at this one length,
// that of the padded variant's 1280-byte signatures.
constexpr size_t kPaddedBodyBytes = 1280 - 1 - kNonceBytes;
// The library's SHAKE-256 context is one pointer to a state it allocates
// (and frees on release); room for the whole state, should a build keep it
// inline.
constexpr size_t kShakeContextBytes = 256;

}  // namespace

struct Library::Last {
    unsigned char pk[kKeyBytes];
    KeyForm form;
};

Library::Library(const Entry& entry, void* handle) : entry_(entry), handle_(handle) {}

void Library::recall(const unsigned char* pk, KeyForm& form) const {
    if (entry_.composed && last_ != nullptr && std::memcmp(last_->pk, pk, sizeof last_->pk) == 0) form = last_->form;
}

void Library::remember(const unsigned char* pk, const KeyForm& form) {
    if (!entry_.composed || !form.ready) return;
    if (last_ == nullptr) last_ = std::make_unique<Last>();
    std::memcpy(last_->pk, pk, sizeof last_->pk);
    last_->form = form;
}

Library::~Library() {
#ifdef QT_FALCON_PIECES
    if (handle_ != nullptr) dlclose(handle_);
#endif
}

namespace {

#ifdef QT_FALCON_PIECES

// `name` in the library opened as `handle`, when the library itself defines
// it (the object based at `base`), not one it depends on.
template <class Fn>
bool bind(void* handle, const void* base, const char* name, Fn& out) {
    void* symbol = dlsym(handle, name);
    Dl_info info;
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fbase != base) return false;
    out = reinterpret_cast<Fn>(symbol);
    return true;
}

// The library that defines `check`, opened again (it is already loaded:
// this only takes a reference), with its pieces in `out`; null, and
// nothing opened, when it does not export them all.
void* find_pieces(const Entry& entry, Pieces& out) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(entry.check), &info) == 0 || info.dli_fname == nullptr) return nullptr;
    void* h = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (h == nullptr) return nullptr;
    const void* base = info.dli_fbase;
    const bool all = bind(h, base, "PQCLEAN_FALCON1024_CLEAN_modq_decode", out.modq_decode) &&
                     bind(h, base, "PQCLEAN_FALCON1024_CLEAN_to_ntt_monty", out.to_ntt_monty) &&
                     bind(h, base, "PQCLEAN_FALCON1024_CLEAN_comp_decode", out.comp_decode) &&
                     bind(h, base, "shake256_inc_init", out.shake_init) &&
                     bind(h, base, "shake256_inc_absorb", out.shake_absorb) &&
                     bind(h, base, "shake256_inc_finalize", out.shake_finalize) &&
                     bind(h, base, "shake256_inc_ctx_release", out.shake_release) &&
                     bind(h, base, "PQCLEAN_FALCON1024_CLEAN_hash_to_point_vartime", out.hash_to_point_vartime) &&
                     bind(h, base, "PQCLEAN_FALCON1024_CLEAN_verify_raw", out.verify_raw);
    if (all) return h;
    dlclose(h);
    return nullptr;
}

#else

void* find_pieces(const Entry&, Pieces&) { return nullptr; }

#endif

// crypto_sign_verify, step by step, with the variable-time hash-to-point;
// each early refusal is one the library's check makes at the same point.
bool composed(const Pieces& p, const unsigned char* sig, size_t sig_len, const unsigned char* msg, size_t msg_len,
              const unsigned char* pk, KeyForm& key) {
    if (sig_len < 1 + kNonceBytes || sig[0] != 0x30 + kLogn) return false;
    // The key: its header, then every coefficient below q, in NTT form.
    if (!key.ready) {
        if (pk[0] != kLogn) return false;
        constexpr auto coefficient_bytes = static_cast<size_t>(kKeyBytes - 1);
        if (p.modq_decode(key.h, kLogn, pk + 1, coefficient_bytes) != coefficient_bytes) return false;
        p.to_ntt_monty(key.h, kLogn);
        key.ready = true;
    }
    // The compressed vector, filling the signature or followed by zero
    // bytes up to the padded length.
    const unsigned char* body = sig + 1 + kNonceBytes;
    const size_t body_len = sig_len - 1 - kNonceBytes;
    if (body_len == 0) return false;
    int16_t s2[kN];
    size_t used = p.comp_decode(s2, kLogn, body, body_len);
    if (used == 0) return false;
    if (used != body_len) {
        if (body_len != kPaddedBodyBytes) return false;
        for (; used < body_len; ++used)
            if (body[used] != 0) return false;
    }
    // The point nonce || message hashes to, both public: the variable-time
    // sampler leaks nothing a verifier keeps secret.
    uint16_t hm[kN];
    alignas(16) unsigned char sc[kShakeContextBytes];
    p.shake_init(sc);
    p.shake_absorb(sc, sig + 1, kNonceBytes);
    p.shake_absorb(sc, msg, msg_len);
    p.shake_finalize(sc);
    p.hash_to_point_vartime(sc, hm, kLogn);
    p.shake_release(sc);
    alignas(16) uint8_t tmp[2 * kN];
    return p.verify_raw(hm, s2, key.h, kLogn, tmp) != 0;
}

Py_ssize_t lib_constant(PyObject* lib, const char* name) {
    Ref value = own(PyObject_GetAttrString(lib, name));
    const Py_ssize_t n = PyLong_AsSsize_t(value.get());
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s is negative", name);
        throw_error();
    }
    return n;
}

}  // namespace

std::unique_ptr<Library> find(PyObject* fn) {
    if (!PyFunction_Check(fn)) return nullptr;
    PyObject* closure = PyFunction_GET_CLOSURE(fn);
    Ref freevars = own(PyObject_GetAttrString(PyFunction_GET_CODE(fn), "co_freevars"));
    if (closure == nullptr || !PyTuple_Check(freevars.get()) || PyTuple_GET_SIZE(freevars.get()) != 1 ||
        PyTuple_GET_SIZE(closure) != 1 ||
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(freevars.get(), 0), "lib") != 0)
        return nullptr;
    PyObject* lib = PyCell_GET(PyTuple_GET_ITEM(closure, 0));
    PyObject* ffi = nullptr;
    check(PyDict_GetItemStringRef(PyFunction_GET_GLOBALS(fn), "__ffi", &ffi));
    if (ffi == nullptr || lib == nullptr) {
        Py_XDECREF(ffi);
        return nullptr;
    }
    Ref ffi_ref = Ref::own(ffi);
    Ref name = own(PyUnicode_FromString(kCheck));
    Ref addressof = own(PyObject_GetAttrString(ffi, "addressof"));
    Ref pointer = call(addressof.get(), lib, name.get());
    Ref typeof_ = own(PyObject_GetAttrString(ffi, "typeof"));
    Ref ctype = call(typeof_.get(), pointer.get());
    Ref getctype = own(PyObject_GetAttrString(ffi, "getctype"));
    Ref type_text = call(getctype.get(), ctype.get());
    if (!PyUnicode_Check(type_text.get()) || PyUnicode_CompareWithASCIIString(type_text.get(), kCheckType) != 0)
        return nullptr;
    Ref cast = own(PyObject_GetAttrString(ffi, "cast"));
    Ref uintptr = own(PyUnicode_FromString("uintptr_t"));
    Ref as_int = call(cast.get(), uintptr.get(), pointer.get());
    Ref address = own(PyNumber_Long(as_int.get()));
    void* address_value = PyLong_AsVoidPtr(address.get());
    if (address_value == nullptr) {
        if (PyErr_Occurred()) throw_error();
        return nullptr;
    }
    Entry entry{};
    entry.check = reinterpret_cast<decltype(entry.check)>(address_value);
    entry.key_bytes = lib_constant(lib, "PQCLEAN_FALCON1024_CLEAN_CRYPTO_PUBLICKEYBYTES");
    entry.max_sig_bytes = lib_constant(lib, "PQCLEAN_FALCON1024_CLEAN_CRYPTO_BYTES");
    // Composed only for the sizes its steps are written for.
    void* handle = nullptr;
    if (entry.key_bytes == kKeyBytes && entry.max_sig_bytes == kMaxSigBytes) handle = find_pieces(entry, entry.pieces);
    entry.composed = handle != nullptr;
    return std::make_unique<Library>(entry, handle);
}

bool verifies(const Entry& entry, const unsigned char* sig, size_t sig_len, const unsigned char* msg, size_t msg_len,
              const unsigned char* pk, KeyForm& key) {
    if (entry.composed) return composed(entry.pieces, sig, sig_len, msg, msg_len, pk, key);
    return entry.check(sig, sig_len, msg, msg_len, pk) == 0;
}

}  // namespace qt::falcon
