// The memo of genuine signatures: a bounded, least recently used record of
// (public key, signed bytes, signature) triples the verifier accepted.
//
// A relying party sees the same passport on every request of an agent, and
// the Falcon-1024 check of identical bytes always gives the same answer.
// While the verifier is pqcrypto's own verify (as first loaded, and still
// running the same code), a valid outcome is remembered, keyed by the exact
// public key, signed bytes and signature, and not computed again. Only
// genuine signatures are stored, so a forger can neither add entries nor
// evict them; a failed check is never remembered. Bounded in entries and in
// bytes, least recently used first out.

#pragma once
#include "ref.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <new>
#include <unordered_map>

namespace qt {

class SignatureMemo {
public:
    static constexpr size_t kMaxEntries = 4096;
    static constexpr size_t kMaxBytes = size_t{4} << 20;
    static constexpr size_t kMaxEntryBytes = size_t{64} << 10;  // larger ones are not kept

    SignatureMemo() = default;
    SignatureMemo(const SignatureMemo&) = delete;
    SignatureMemo& operator=(const SignatureMemo&) = delete;
    // Under the GIL, from the module's clear: releases the byte strings.
    ~SignatureMemo() {
        while (!lru_.empty()) evict_oldest();
    }

    bool contains(PyObject* pk, PyObject* msg, PyObject* sig) {
        const std::uint64_t hash = hash_of(pk, msg, sig);
        Lock lock(mutex_);
        auto range = index_.equal_range(hash);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second->same(pk, msg, sig)) {
                lru_.splice(lru_.begin(), lru_, it->second);  // most recent first
                return true;
            }
        }
        return false;
    }

    // The three exact byte strings are kept by reference: they cannot
    // change. Out of memory, the outcome is simply not remembered. Not
    // noexcept: waiting for the lock detaches the thread, and a daemon
    // thread the interpreter ends at exit unwinds from there.
    void add(PyObject* pk, PyObject* msg, PyObject* sig) {
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(pk) + PyBytes_GET_SIZE(msg) + PyBytes_GET_SIZE(sig));
        if (size > kMaxEntryBytes) return;
        const std::uint64_t hash = hash_of(pk, msg, sig);
        Lock lock(mutex_);
        try {
            auto range = index_.equal_range(hash);
            for (auto it = range.first; it != range.second; ++it)
                if (it->second->same(pk, msg, sig)) return;
            lru_.push_front(Entry{{Py_NewRef(pk), Py_NewRef(msg), Py_NewRef(sig)}, size, hash});
            try {
                index_.emplace(hash, lru_.begin());
            } catch (const std::bad_alloc&) {
                release(lru_.front());
                lru_.pop_front();
                return;
            }
        } catch (const std::bad_alloc&) {
            return;
        }
        bytes_ += size;
        while (lru_.size() > kMaxEntries || bytes_ > kMaxBytes) evict_oldest();
    }

private:
    struct Entry {
        PyObject* parts[3];  // owned: pk, msg, sig
        size_t size;
        std::uint64_t hash;
        bool same(PyObject* pk, PyObject* msg, PyObject* sig) const {
            PyObject* given[] = {pk, msg, sig};
            for (int i = 0; i < 3; ++i) {
                PyObject* a = parts[i];
                PyObject* b = given[i];
                if (a != b && (PyBytes_GET_SIZE(a) != PyBytes_GET_SIZE(b) ||
                               std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                                           static_cast<size_t>(PyBytes_GET_SIZE(a))) != 0))
                    return false;
            }
            return true;
        }
    };

    // FNV-1a over the lengths and samples of each part: the signature opens
    // with its random nonce, so samples tell entries apart; equal hashes are
    // settled by comparing everything.
    static std::uint64_t hash_of(PyObject* pk, PyObject* msg, PyObject* sig) {
        std::uint64_t h = 14695981039346656037ULL;
        for (PyObject* part : {sig, msg, pk}) {
            const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(part));
            const auto n = static_cast<size_t>(PyBytes_GET_SIZE(part));
            for (size_t i = 0; i < 8; ++i) h = (h ^ ((n >> (8 * i)) & 0xff)) * 1099511628211ULL;
            const size_t head = std::min<size_t>(n, 48);
            for (size_t i = 0; i < head; ++i) h = (h ^ p[i]) * 1099511628211ULL;
            for (size_t i = n > 16 ? n - 16 : 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
        }
        return h;
    }

    // PyMutex waits with the thread detached, so a thread blocked here
    // never holds the GIL against the holder; nothing inside runs Python
    // code (releasing a byte string only frees memory).
    struct Lock {
        PyMutex& m;
        explicit Lock(PyMutex& mutex) : m(mutex) { PyMutex_Lock(&m); }
        ~Lock() { PyMutex_Unlock(&m); }
    };

    static void release(Entry& e) {
        for (PyObject*& p : e.parts) Py_CLEAR(p);
    }

    void evict_oldest() {
        auto last = std::prev(lru_.end());
        auto range = index_.equal_range(last->hash);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second == last) {
                index_.erase(it);
                break;
            }
        bytes_ -= last->size;
        release(*last);
        lru_.pop_back();
    }

    PyMutex mutex_{};
    std::list<Entry> lru_;
    std::unordered_multimap<std::uint64_t, std::list<Entry>::iterator> index_;
    size_t bytes_ = 0;
};

}  // namespace qt
