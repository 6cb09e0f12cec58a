// pqcrypto's compiled Falcon-1024 library, reached past its Python wrapper:
// the check the wrapper calls, and the same check composed from the pieces
// the library exports, with the variable-time hash-to-point.
#pragma once
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qt::falcon {

// The steps of the library's check, as it exports them.
struct Pieces {
    size_t (*modq_decode)(uint16_t* x, unsigned logn, const void* in, size_t max_in_len);
    void (*to_ntt_monty)(uint16_t* h, unsigned logn);
    size_t (*comp_decode)(int16_t* x, unsigned logn, const void* in, size_t max_in_len);
    void (*shake_init)(void* sc);
    void (*shake_absorb)(void* sc, const uint8_t* in, size_t len);
    void (*shake_finalize)(void* sc);
    void (*shake_release)(void* sc);
    void (*hash_to_point_vartime)(void* sc, uint16_t* x, unsigned logn);
    int (*verify_raw)(const uint16_t* c0, const int16_t* s2, const uint16_t* h, unsigned logn, uint8_t* tmp);
};

// What a verification calls: plain values, copied out of the module state
// before the GIL is released.
struct Entry {
    // crypto_sign_verify(sig, siglen, m, mlen, pk): 0 when the signature verifies.
    int (*check)(const unsigned char*, size_t, const unsigned char*, size_t, const unsigned char*);
    // The two sizes the wrapper checks before calling it: the key's exact
    // size and the signature's largest.
    Py_ssize_t key_bytes;
    Py_ssize_t max_sig_bytes;
    // Whether the library exports every piece of the check (otherwise the
    // check is called whole).
    bool composed;
    Pieces pieces;
};

// A public key in the form the check's last step reads it: its 1024
// coefficients modulo q, in NTT form. `ready` once they are there.
struct KeyForm {
    uint16_t h[1024];
    bool ready = false;
};

// The compiled library behind pqcrypto's Falcon-1024 verify, held open
// while its entry is kept, and the form of the last key its composed check
// decoded: a relying party sees the credentials of few issuers, and the
// key's NTT is a fifth of the check. Used with the GIL held only.
class Library {
public:
    Library(const Entry& entry, void* handle);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const Entry& entry() const { return entry_; }
    // Fills `form` when `pk` (of key_bytes) is the key last remembered.
    void recall(const unsigned char* pk, KeyForm& form) const;
    // Remembers `form`, ready, as the form of `pk` (of key_bytes).
    void remember(const unsigned char* pk, const KeyForm& form);

private:
    struct Last;
    Entry entry_;
    void* handle_;  // the library as opened here (null when not opened)
    std::unique_ptr<Last> last_;
};

// The library behind `fn`, when `fn` is pqcrypto's verify as its module
// defines it (a function closing over its cffi library alone, whose check
// has the C type the wrapper converts its arguments to); null for anything
// else, which is then always called. Throws when a lookup fails.
std::unique_ptr<Library> find(PyObject* fn);

// `0 == crypto_sign_verify(sig, len(sig), msg, len(msg), pk)`, decided as
// the library's own check decides it, for the inputs the wrapper passes
// through: a key of key_bytes and a signature of at most max_sig_bytes.
// `key` is that key's form when ready (Library::recall), and otherwise
// receives it if the composed check decodes the key. Touches no Python
// object: called with the GIL released.
bool verifies(const Entry& entry, const unsigned char* sig, size_t sig_len, const unsigned char* msg, size_t msg_len,
              const unsigned char* pk, KeyForm& key);

}  // namespace qt::falcon
