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
//
// Layout: a fixed array of entries chained in recency order by index, and
// an open-addressed index (linear probing, at most half full) of entry
// numbers tagged with the upper half of each entry's hash. A lookup touches
// one or two index slots and the entry it finds; nothing is allocated after
// the memo is made.

#pragma once
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qt {

class SignatureMemo {
public:
    static constexpr int kMaxEntries = 4096;
    static constexpr size_t kMaxBytes = size_t{4} << 20;
    static constexpr size_t kMaxEntryBytes = size_t{64} << 10;  // larger ones are not kept

    // The three exact byte strings asked about, and their hash, computed
    // once for a lookup and the insertion that may follow it.
    class Key {
    public:
        Key(PyObject* pk, PyObject* msg, PyObject* sig) : parts_{pk, msg, sig}, hash_(hash_of(parts_)) {}

    private:
        friend class SignatureMemo;
        PyObject* parts_[3];
        std::uint64_t hash_;
    };

    // Throws std::bad_alloc when the tables cannot be had.
    SignatureMemo() : entries_(new Entry[kMaxEntries]), slots_(new Slot[kSlots]) {
        for (int i = 0; i < kSlots; ++i) slots_[i] = Slot{0, kEmpty};
        for (int i = 0; i < kMaxEntries; ++i) entries_[i].next = i + 1 < kMaxEntries ? i + 1 : kNone;
        free_ = 0;
    }
    SignatureMemo(const SignatureMemo&) = delete;
    SignatureMemo& operator=(const SignatureMemo&) = delete;
    // Under the GIL, from the module's clear: releases the byte strings.
    ~SignatureMemo() {
        while (oldest_ != kNone) evict(oldest_);
    }

    bool contains(const Key& k) {
        Lock lock(mutex_);
        const int e = find(k);
        if (e == kNone) return false;
        unlink(e);
        push_front(e);
        return true;
    }

    // The three exact byte strings are kept by reference: they cannot
    // change. Not noexcept: waiting for the lock detaches the thread, and a
    // daemon thread the interpreter ends at exit unwinds from there.
    void add(const Key& k) {
        size_t size = 0;
        for (PyObject* part : k.parts_) size += static_cast<size_t>(PyBytes_GET_SIZE(part));
        if (size > kMaxEntryBytes) return;
        Lock lock(mutex_);
        if (find(k) != kNone) return;
        while (free_ == kNone || bytes_ + size > kMaxBytes) evict(oldest_);
        const int e = free_;
        Entry& entry = entries_[e];
        free_ = entry.next;
        for (int i = 0; i < 3; ++i) entry.parts[i] = Py_NewRef(k.parts_[i]);
        entry.size = size;
        entry.hash = k.hash_;
        push_front(e);
        bytes_ += size;
        size_t s = home(k.hash_);
        while (slots_[s].entry != kEmpty) s = (s + 1) & kMask;
        slots_[s] = Slot{tag(k.hash_), e};
    }

private:
    static constexpr int kSlots = 2 * kMaxEntries;  // a power of two
    static constexpr size_t kMask = kSlots - 1;
    static constexpr int kNone = -1;
    static constexpr int kEmpty = -1;

    struct Entry {
        PyObject* parts[3] = {};  // owned while in use: pk, msg, sig
        size_t size = 0;
        std::uint64_t hash = 0;
        int prev = kNone;  // towards the most recent
        int next = kNone;  // towards the oldest; the free list's link when unused
    };
    struct Slot {
        std::uint32_t tag;
        int entry;  // kEmpty for a free slot
    };

    // Lengths and samples of each part, a word at a time: the signature
    // opens with its random nonce, so samples tell entries apart; equal
    // hashes are settled by comparing everything.
    static std::uint64_t hash_of(PyObject* const (&parts)[3]) {
        std::uint64_t h = 0x9e3779b97f4a7c15ULL;
        auto mix = [&h](std::uint64_t w) {
            h = (h ^ w) * 0xff51afd7ed558ccdULL;
            h ^= h >> 32;
        };
        for (PyObject* part : parts) {
            const char* p = PyBytes_AS_STRING(part);
            const auto n = static_cast<size_t>(PyBytes_GET_SIZE(part));
            mix(n);
            std::uint64_t w[6] = {};
            std::memcpy(w, p, n < 48 ? n : 48);
            if (n > 48) std::memcpy(w + 4, p + n - 16, 16);
            for (std::uint64_t x : w) mix(x);
        }
        return h;
    }
    static std::uint32_t tag(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
    static size_t home(std::uint64_t hash) { return static_cast<size_t>(hash) & kMask; }

    bool same(const Entry& entry, const Key& k) const {
        if (entry.hash != k.hash_) return false;
        for (int i = 0; i < 3; ++i) {
            PyObject* a = entry.parts[i];
            PyObject* b = k.parts_[i];
            if (a != b && (PyBytes_GET_SIZE(a) != PyBytes_GET_SIZE(b) ||
                           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                                       static_cast<size_t>(PyBytes_GET_SIZE(a))) != 0))
                return false;
        }
        return true;
    }

    // The entry holding k, or kNone.
    int find(const Key& k) const {
        const std::uint32_t t = tag(k.hash_);
        for (size_t s = home(k.hash_); slots_[s].entry != kEmpty; s = (s + 1) & kMask)
            if (slots_[s].tag == t && same(entries_[slots_[s].entry], k)) return slots_[s].entry;
        return kNone;
    }

    void unlink(int e) {
        Entry& entry = entries_[e];
        (entry.prev != kNone ? entries_[entry.prev].next : newest_) = entry.next;
        (entry.next != kNone ? entries_[entry.next].prev : oldest_) = entry.prev;
    }

    void push_front(int e) {
        Entry& entry = entries_[e];
        entry.prev = kNone;
        entry.next = newest_;
        (newest_ != kNone ? entries_[newest_].prev : oldest_) = e;
        newest_ = e;
    }

    // Takes entry e out of the index (closing the gap of the probe run
    // behind it), the recency chain and the byte count, and frees it.
    void evict(int e) {
        Entry& entry = entries_[e];
        size_t s = home(entry.hash);
        while (slots_[s].entry != e) s = (s + 1) & kMask;
        for (size_t next = (s + 1) & kMask; slots_[next].entry != kEmpty; next = (next + 1) & kMask) {
            // An entry may move back into the gap unless its home lies
            // cyclically in (gap, next].
            const size_t h = home(entries_[slots_[next].entry].hash);
            const bool stays = s <= next ? (s < h && h <= next) : (s < h || h <= next);
            if (stays) continue;
            slots_[s] = slots_[next];
            s = next;
        }
        slots_[s] = Slot{0, kEmpty};
        unlink(e);
        bytes_ -= entry.size;
        for (PyObject*& p : entry.parts) Py_CLEAR(p);
        entry.next = free_;
        free_ = e;
    }

    // PyMutex waits with the thread detached, so a thread blocked here
    // never holds the GIL against the holder; nothing inside runs Python
    // code (releasing a byte string only frees memory).
    struct Lock {
        PyMutex& m;
        explicit Lock(PyMutex& mutex) : m(mutex) { PyMutex_Lock(&m); }
        ~Lock() { PyMutex_Unlock(&m); }
    };

    PyMutex mutex_{};
    std::unique_ptr<Entry[]> entries_;
    std::unique_ptr<Slot[]> slots_;
    int newest_ = kNone;
    int oldest_ = kNone;
    int free_ = kNone;
    size_t bytes_ = 0;
};

}  // namespace qt
