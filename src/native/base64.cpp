// Native equivalents of the host's base64 decoders: binascii.a2b_base64
// behind base64.urlsafe_b64decode and base64.b64decode.
#include "base64.hpp"

#include "guard.hpp"
#include "internals.hpp"
#include "scan.hpp"

#if QT_X86_VECTORS
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <optional>

namespace qt::base64 {

namespace {

// --- The decoder ----------------------------------------------------------------
//
// The decoder of the host's binascii.a2b_base64, for ASCII text, in both its
// lenient and strict modes: characters outside the alphabet are skipped (or
// refused when strict), a complete pad sequence ends the data, and a final
// incomplete group is an error worded as the host words it.

enum class B64 { Ok, OneExtra, BadPadding, Refused };

constexpr unsigned char kInvalid = 0xff;

struct B64Table {
    unsigned char v[256];
    constexpr explicit B64Table(bool urlsafe) : v() {
        for (int i = 0; i < 256; ++i) v[i] = kInvalid;
        for (int i = 0; i < 26; ++i) {
            v['A' + i] = static_cast<unsigned char>(i);
            v['a' + i] = static_cast<unsigned char>(26 + i);
        }
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<unsigned char>(52 + i);
        v['+'] = 62;
        v['/'] = 63;
        // urlsafe_b64decode translates '-' and '_' to '+' and '/' first.
        if (urlsafe) {
            v['-'] = 62;
            v['_'] = 63;
        }
    }
};
constexpr B64Table kStandard(false);
constexpr B64Table kUrlSafe(true);

// The same alphabet as four tables of each character's six bits already in
// place within a 24-bit group; anything outside the alphabet sets the top
// byte, so one test per group of four tells whether all four were data.
struct B64Shifted {
    std::uint32_t t[4][256];
    constexpr explicit B64Shifted(const B64Table& base) : t() {
        for (int c = 0; c < 256; ++c) {
            const std::uint32_t v = base.v[c];
            for (int k = 0; k < 4; ++k) t[k][c] = v == kInvalid ? 0xff000000u : v << (18 - 6 * k);
        }
    }
};
constexpr B64Shifted kStandardShifted(kStandard);
constexpr B64Shifted kUrlSafeShifted(kUrlSafe);

// Thirty-two alphabet characters at a time with AVX2, where the processor
// has it. Each character is classified by its two halves: the high half
// picks a row of the alphabet's table (2 to 7; any other row holds no
// alphabet character) and the low half must be one the row allows; then
// the character is translated by its row's offset, corrected for the few
// characters that sit apart in their row, and the 6-bit values are packed
// into 24 bytes. A block holding anything else is left to the scalar loops,
// which start at a group boundary in their initial state. Returns how many
// characters were consumed; out advances by 3 bytes per 4 and is written 8
// bytes beyond.
#if QT_X86_VECTORS
#define QT_AVX2 __attribute__((target("avx2")))

QT_AVX2 inline __m256i byte(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }

QT_AVX2 inline __m256i rows16(const signed char (&t)[16]) {
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(half);
}

// clang-format off: the tables keep their rows
// Row bits: row 2 -> 1, 3 -> 2, 4 and 6 -> 4, 5 -> 8, 7 -> 16, others 0x80.
// Low halves a row refuses set that row's bit (0x80 always).
constexpr signed char kRowBit[16] = {-128, -128, 1, 2, 4, 8, 4, 16, -128, -128, -128, -128, -128, -128, -128, -128};
// '+' and '/' (row 2: B, F), digits (row 3: 0-9), 'A'-'O' and 'a'-'o'
// (rows 4 and 6: 1-F), 'P'-'Z' and 'p'-'z' (rows 5 and 7: 0-A).
constexpr signed char kRefusedStandard[16] = {-128 | 1 | 4,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1,
                                              -128 | 1 | 2,
                                              -128 | 2 | 8 | 16,
                                              -128 | 1 | 2 | 8 | 16,
                                              -128 | 1 | 2 | 8 | 16,
                                              -128 | 1 | 2 | 8 | 16,
                                              -128 | 2 | 8 | 16};
// The same with '-' (row 2: D) and '_' (row 5: F).
constexpr signed char kRefusedUrlSafe[16] = {-128 | 1 | 4,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1,
                                             -128 | 1 | 2,
                                             -128 | 2 | 8 | 16,
                                             -128 | 1 | 2 | 8 | 16,
                                             -128 | 2 | 8 | 16,
                                             -128 | 1 | 2 | 8 | 16,
                                             -128 | 2 | 16};
// clang-format on
// Offset from character to value by row: '+' 43 -> 62, '0' 48 -> 52,
// 'A' 65 -> 0, 'a' 97 -> 26.
constexpr signed char kRowOffset[16] = {0, 0, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0};

QT_AVX2 Py_ssize_t decode_blocks_avx2(const unsigned char* data, Py_ssize_t n, bool urlsafe, unsigned char*& out_ref) {
    unsigned char* out = out_ref;
    const __m256i row_bit = rows16(kRowBit);
    const __m256i refused = rows16(urlsafe ? kRefusedUrlSafe : kRefusedStandard);
    const __m256i row_offset = rows16(kRowOffset);
    const __m256i low_half = byte(0x0f);
    const __m256i pack_pairs = _mm256_set1_epi32(0x01400140);
    const __m256i pack_quads = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    Py_ssize_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        const __m256i row = _mm256_and_si256(_mm256_srli_epi32(c, 4), low_half);
        const __m256i low = _mm256_and_si256(c, low_half);
        if (!_mm256_testz_si256(_mm256_shuffle_epi8(refused, low), _mm256_shuffle_epi8(row_bit, row))) break;
        __m256i offset = _mm256_shuffle_epi8(row_offset, row);
        // '/' 47 -> 63 in row 2 (+16); '-' 45 -> 62 (+17); '_' 95 -> 63 in row 5 (-32).
        offset = _mm256_add_epi8(offset, _mm256_and_si256(_mm256_cmpeq_epi8(c, byte('/')), byte(16 - 19)));
        if (urlsafe) {
            offset = _mm256_add_epi8(offset, _mm256_and_si256(_mm256_cmpeq_epi8(c, byte('-')), byte(17 - 19)));
            offset = _mm256_add_epi8(offset, _mm256_and_si256(_mm256_cmpeq_epi8(c, byte('_')), byte(-32 + 65)));
        }
        const __m256i values = _mm256_add_epi8(c, offset);
        // (a << 6 | b) per pair, then (ab << 12 | cd) per group of four:
        // 24 bits a lane, written out most significant byte first.
        const __m256i pairs = _mm256_maddubs_epi16(values, pack_pairs);
        const __m256i quads = _mm256_madd_epi16(pairs, pack_quads);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, order), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += 24;
    }
    out_ref = out;
    return i;
}
#endif

// Decodes data[0, n) followed by `extra_pads` "=" characters into out;
// *written gets the length. out needs room for n / 4 * 3 + 8 bytes: the
// block loops store more than they keep (eight bytes at most).
B64 a2b_base64(const unsigned char* data, Py_ssize_t n, Py_ssize_t extra_pads, const B64Table& table,
               const B64Shifted& shifted, bool strict, unsigned char* out, Py_ssize_t* written) {
    unsigned char* o = out;
#if QT_X86_VECTORS
    Py_ssize_t i = scan::have_avx2() ? decode_blocks_avx2(data, n, &table == &kUrlSafe, o) : 0;
#else
    Py_ssize_t i = 0;
#endif
    // Whole groups of four alphabet characters, the common case, a group at
    // a time; the first irregular character hands over to the general loop,
    // whose state at a group boundary is exactly the initial one.
    const auto& t = shifted.t;
    while (i + 4 <= n) {
        const std::uint32_t group = t[0][data[i]] | t[1][data[i + 1]] | t[2][data[i + 2]] | t[3][data[i + 3]];
        if (group & 0xff000000u) break;
        const unsigned char bytes[4] = {static_cast<unsigned char>(group >> 16), static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group), 0};
        std::memcpy(o, bytes, 4);
        o += 3;
        i += 4;
    }
    int quad_pos = 0;
    int pads = 0;
    bool padding_started = false;
    unsigned int leftchar = 0;
    B64 status = B64::Ok;
    const Py_ssize_t end = n + extra_pads;
    for (; i < end; ++i) {
        const unsigned char ch = i < n ? data[i] : '=';
        if (ch == '=') {
            padding_started = true;
            if (strict && quad_pos == 0) {
                status = B64::Refused;
                break;
            }
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
                if (strict && i + 1 < end) status = B64::Refused;
                quad_pos = 0;  // a complete pad sequence ends the data
                break;
            }
            continue;
        }
        unsigned char v = table.v[ch];
        if (v == kInvalid) {
            if (strict) {
                status = B64::Refused;
                break;
            }
            continue;
        }
        if (strict && padding_started) {
            status = B64::Refused;
            break;
        }
        pads = 0;
        switch (quad_pos) {
            case 0:
                quad_pos = 1;
                leftchar = v;
                break;
            case 1:
                quad_pos = 2;
                *o++ = static_cast<unsigned char>(((leftchar << 2) | (v >> 4)) & 0xff);
                leftchar = v & 0x0f;
                break;
            case 2:
                quad_pos = 3;
                *o++ = static_cast<unsigned char>(((leftchar << 4) | (v >> 2)) & 0xff);
                leftchar = v & 0x03;
                break;
            default:
                quad_pos = 0;
                *o++ = static_cast<unsigned char>(((leftchar << 6) | v) & 0xff);
                leftchar = 0;
                break;
        }
    }
    *written = o - out;
    if (status != B64::Ok) return status;
    if (quad_pos == 1) return B64::OneExtra;
    if (quad_pos != 0) return B64::BadPadding;
    return B64::Ok;
}

// Decode ASCII text[0, n) followed by `pad` "=" characters as the host's
// decoder would. On failure the host's error is set and Ref::error()
// returned (no unwinding: hostile input fails here often).
Ref decode_ascii(const Call& c, const unsigned char* text, Py_ssize_t n, Py_ssize_t pad, const B64Table& table,
                 const B64Shifted& shifted, bool strict) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n / 4 * 3 + 8);
    if (out == nullptr) return Ref::error();
    Py_ssize_t written = 0;
    const B64 status = a2b_base64(text, n, pad, table, shifted, strict,
                                  reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)), &written);
    if (status == B64::Ok) {
        if (internals::bytes_resize(&out, written) < 0) return Ref::error();  // frees out on failure
        return Ref::own(out);
    }
    Py_DECREF(out);
    switch (status) {
        case B64::Ok:
            break;
        case B64::OneExtra:
            PyErr_Format(c.st->binascii_error,
                         "Invalid base64-encoded string: number of data characters (%zd) cannot be 1 more "
                         "than a multiple of 4",
                         written / 3 * 4 + 1);
            break;
        case B64::BadPadding:
            PyErr_SetString(c.st->binascii_error, "Incorrect padding");
            break;
        case B64::Refused:
            // Strict decoding is only ever attempted with a fallback, which
            // does not look at this error's text.
            PyErr_SetString(c.st->binascii_error, "Only base64 data is allowed");
            break;
    }
    return Ref::error();
}

// The same for a text object while the guard of the host function holds;
// declined for anything else: the host decides.
FastResult native_decode(const Call& c, Guard guard, PyObject* data, Py_ssize_t pad, const B64Table& table,
                         const B64Shifted& shifted, bool strict) {
    if (!PyUnicode_Check(data) || !originals_in_place(c, guard)) return FastResult::decline();
    if (!PyUnicode_IS_ASCII(data)) {
        PyErr_SetString(PyExc_ValueError, "string argument should contain only ASCII characters");
        return FastResult::failure();
    }
    Ref decoded = decode_ascii(c, static_cast<const unsigned char*>(PyUnicode_DATA(data)), PyUnicode_GET_LENGTH(data),
                               pad, table, shifted, strict);
    return decoded ? FastResult::answer(std::move(decoded)) : FastResult::failure();
}

}  // namespace

Ref urlsafe_b64decode(const Call& c, PyObject* data) {
    FastResult native = native_decode(c, Guard::UrlsafeB64decode, data, 0, kUrlSafe, kUrlSafeShifted, false);
    if (!native.declined()) return native.take();
    return returning([&] {
        Ref b64 = c.global(c.st->g_base64);
        Ref decode = getattr(b64.get(), c.st->str_urlsafe_b64decode);
        return Ref::own_or_error(PyObject_CallOneArg(decode.get(), data));
    });
}

Ref urlsafe_b64decode_padded(const Call& c, PyObject* text, Py_ssize_t pad) {
    FastResult native = native_decode(c, Guard::UrlsafeB64decode, text, pad, kUrlSafe, kUrlSafeShifted, false);
    if (!native.declined()) return native.take();
    Ref pads = Ref::own_or_error(PyUnicode_FromStringAndSize("===", pad));
    if (!pads) return pads;
    Ref padded = Ref::own_or_error(PyUnicode_Concat(text, pads.get()));
    if (!padded) return padded;
    return urlsafe_b64decode(c, padded.get());
}

Ref urlsafe_b64decode_ascii(const Call& c, const char* text, Py_ssize_t n, Py_ssize_t pad) {
    return decode_ascii(c, reinterpret_cast<const unsigned char*>(text), n, pad, kUrlSafe, kUrlSafeShifted, false);
}

Ref b64decode(const Call& c, PyObject* data, bool validate) {
    FastResult native = native_decode(c, Guard::B64decode, data, 0, kStandard, kStandardShifted, validate);
    if (!native.declined()) return native.take();
    return returning([&] {
        Ref b64 = c.global(c.st->g_base64);
        Ref decode = getattr(b64.get(), c.st->str_b64decode);
        if (!validate) return Ref::own_or_error(PyObject_CallOneArg(decode.get(), data));
        PyObject* argv[] = {data, Py_True};
        return Ref::own_or_error(PyObject_Vectorcall(decode.get(), argv, 1, c.st->kw_validate));
    });
}

}  // namespace qt::base64
