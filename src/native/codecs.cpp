// Native equivalents of the host's base64 and JSON decoders.
#include "codecs.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qt::codecs {

namespace {

// --- Native base64 -------------------------------------------------------------
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
            for (int k = 0; k < 4; ++k)
                t[k][c] = v == kInvalid ? 0xff000000u : v << (18 - 6 * k);
        }
    }
};
constexpr B64Shifted kStandardShifted(kStandard);
constexpr B64Shifted kUrlSafeShifted(kUrlSafe);

// Thirty-two alphabet characters at a time with AVX2, where the processor
// has it: each character is classified by range (every class of the
// alphabet is a range or a single character), translated by its class's
// offset, and the 6-bit values are packed into 24 bytes. A block holding
// anything else is left to the scalar loops, which start at a group
// boundary in their initial state. Returns how many characters were
// consumed; out advances by 3 bytes per 4 and is written 8 bytes beyond.
#define QT_AVX2 __attribute__((target("avx2")))

QT_AVX2 inline __m256i byte(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }

QT_AVX2 inline __m256i in_range(__m256i c, int lo, int hi) {
    return _mm256_and_si256(_mm256_cmpgt_epi8(c, byte(lo - 1)), _mm256_cmpgt_epi8(byte(hi + 1), c));
}

QT_AVX2 Py_ssize_t decode_blocks_avx2(const unsigned char* data, Py_ssize_t n, bool urlsafe, unsigned char*& out) {
    const __m256i pack_pairs = _mm256_set1_epi32(0x01400140);
    const __m256i pack_quads = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    Py_ssize_t i = 0;
    for (; i + 32 <= n; i += 32) {
        // Bytes above 127 compare as negative: in no class.
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        const __m256i upper = in_range(c, 'A', 'Z');
        const __m256i lower = in_range(c, 'a', 'z');
        const __m256i digit = in_range(c, '0', '9');
        __m256i plus = _mm256_cmpeq_epi8(c, byte('+'));
        __m256i slash = _mm256_cmpeq_epi8(c, byte('/'));
        __m256i valid = _mm256_or_si256(_mm256_or_si256(upper, lower), _mm256_or_si256(digit, plus));
        valid = _mm256_or_si256(valid, slash);
        __m256i offset = _mm256_or_si256(_mm256_and_si256(upper, byte(-'A')), _mm256_and_si256(lower, byte(26 - 'a')));
        offset = _mm256_or_si256(offset, _mm256_and_si256(digit, byte(52 - '0')));
        offset = _mm256_or_si256(offset, _mm256_and_si256(plus, byte(62 - '+')));
        offset = _mm256_or_si256(offset, _mm256_and_si256(slash, byte(63 - '/')));
        if (urlsafe) {
            const __m256i minus = _mm256_cmpeq_epi8(c, byte('-'));
            const __m256i underscore = _mm256_cmpeq_epi8(c, byte('_'));
            valid = _mm256_or_si256(valid, _mm256_or_si256(minus, underscore));
            offset = _mm256_or_si256(offset, _mm256_and_si256(minus, byte(62 - '-')));
            offset = _mm256_or_si256(offset, _mm256_and_si256(underscore, byte(63 - '_')));
        }
        if (static_cast<unsigned>(_mm256_movemask_epi8(valid)) != 0xffffffffu) break;
        const __m256i values = _mm256_add_epi8(c, offset);
        // (a << 6 | b) per pair, then (ab << 12 | cd) per group of four:
        // 24 bits a lane, written out most significant byte first.
        const __m256i pairs = _mm256_maddubs_epi16(values, pack_pairs);
        const __m256i quads = _mm256_madd_epi16(pairs, pack_quads);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, order), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += 24;
    }
    return i;
}

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

// Decodes data[0, n) followed by `extra_pads` "=" characters into out;
// *written gets the length. out needs room for n / 4 * 3 + 8 bytes: the
// block loops store more than they keep (eight bytes at most).
B64 a2b_base64(const unsigned char* data, Py_ssize_t n, Py_ssize_t extra_pads, const B64Table& table,
               const B64Shifted& shifted, bool strict, unsigned char* out, Py_ssize_t* written) {
    unsigned char* o = out;
    Py_ssize_t i = have_avx2() ? decode_blocks_avx2(data, n, &table == &kUrlSafe, o) : 0;
    // Whole groups of four alphabet characters, the common case, a group at
    // a time; the first irregular character hands over to the general loop,
    // whose state at a group boundary is exactly the initial one.
    const auto& t = shifted.t;
    while (i + 4 <= n) {
        const std::uint32_t group = t[0][data[i]] | t[1][data[i + 1]] | t[2][data[i + 2]] | t[3][data[i + 3]];
        if (group & 0xff000000u) break;
        const unsigned char bytes[4] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8), static_cast<unsigned char>(group),
                                        0};
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

// How a native decode ended.
enum class Native { Done, NotHandled, Failed };

// Decode ASCII text[0, n) followed by `pad` "=" characters as the host's
// decoder would. Failed: the host's error is set (no unwinding: hostile
// input fails here often).
Native decode_ascii(const Call& c, const unsigned char* text, Py_ssize_t n, Py_ssize_t pad, const B64Table& table,
                    const B64Shifted& shifted, bool strict, Ref& result) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n / 4 * 3 + 8);
    if (out == nullptr) throw_error();
    Py_ssize_t written = 0;
    const B64 status = a2b_base64(text, n, pad, table, shifted, strict,
                                  reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)), &written);
    if (status == B64::Ok) {
        if (_PyBytes_Resize(&out, written) < 0) throw_error();  // frees out on failure
        result = Ref::own(out);
        return Native::Done;
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
    return Native::Failed;
}

// The same for a text object; NotHandled for anything else.
Native decode_text(const Call& c, PyObject* data, Py_ssize_t pad, const B64Table& table, const B64Shifted& shifted,
                   bool strict, Ref& result) {
    if (!PyUnicode_Check(data)) return Native::NotHandled;
    if (!PyUnicode_IS_ASCII(data)) {
        PyErr_SetString(PyExc_ValueError, "string argument should contain only ASCII characters");
        return Native::Failed;
    }
    return decode_ascii(c, static_cast<const unsigned char*>(PyUnicode_DATA(data)), PyUnicode_GET_LENGTH(data), pad,
                        table, shifted, strict, result);
}

// --- Native JSON ---------------------------------------------------------------
//
// A reader for the documents the module parses (UTF-8 bytes, or ASCII text)
// that builds exactly what the host's json.loads builds: dicts filled in
// document order (a repeated name keeps its first place and its last value),
// lists, str, int, float (through the host's own string-to-double), True,
// False and None. It gives up, leaving no error set, on anything it does not
// reproduce exactly -- a syntax error, a byte that is not ASCII outside a
// string, a control character or a surrogate escape in a string, invalid
// UTF-8, NaN and the infinities, integers of more than 18 digits, deep
// nesting -- and the host's json.loads then decides, with its own result or
// its own error.

constexpr int kMaxJsonDepth = 100;

class JsonReader {
public:
    // With `sig`, a top-level member "sig" holding plain text (ASCII, no
    // escapes) is not stored: its characters are left in place in *sig.
    JsonReader(const unsigned char* p, Py_ssize_t n, TextSpan* sig) : begin_(p), p_(p), end_(p + n), sig_(sig) {}

    // Where the document fails when the host's json.loads would fail there
    // with one of the two errors of the whole document (no value where the
    // document's value begins, or anything after it), for the reader to
    // report; Unknown when the host decides.
    enum class Failure { Unknown, ExpectingValue, ExtraData };
    Failure failure() const { return failure_; }
    Py_ssize_t failure_pos() const { return failure_pos_; }

    Ref document() {
        skip_ws();
        if (!value_can_start()) {
            failure_ = Failure::ExpectingValue;
            failure_pos_ = p_ - begin_;
            return nullptr;
        }
        Ref v = value();
        if (!v) return v;
        skip_ws();
        if (p_ != end_) {
            // The value read here is the value the host reads, ending at
            // the same place: the rest is the host's "Extra data".
            failure_ = Failure::ExtraData;
            failure_pos_ = p_ - begin_;
            return nullptr;
        }
        return v;
    }

private:
    static bool is_digit(unsigned char ch) { return ch >= '0' && ch <= '9'; }

    bool starts_with(const char* word) const {
        const auto n = static_cast<Py_ssize_t>(std::strlen(word));
        return end_ - p_ >= n && std::memcmp(p_, word, static_cast<size_t>(n)) == 0;
    }

    // Whether the host's scanner finds a value beginning at p_, or may:
    // false only where it stops at once -- the end of the text, a character
    // that begins no value, a literal that does not match, a minus sign
    // without a digit. NaN and the infinities do begin values.
    bool value_can_start() const {
        if (p_ >= end_) return false;
        switch (*p_) {
            case '"': case '{': case '[': return true;
            case 'n': return starts_with("null");
            case 't': return starts_with("true");
            case 'f': return starts_with("false");
            case 'N': return starts_with("NaN");
            case 'I': return starts_with("Infinity");
            case '-': return starts_with("-Infinity") || (end_ - p_ >= 2 && is_digit(p_[1]));
            default: return is_digit(*p_);
        }
    }

    void skip_ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    bool literal(const char* word, Py_ssize_t n) {
        if (end_ - p_ < n || std::memcmp(p_, word, static_cast<size_t>(n)) != 0) return false;
        p_ += n;
        return true;
    }

    Ref value() {
        if (p_ >= end_) return nullptr;
        switch (*p_) {
            case '"': return string();
            case '{': return object();
            case '[': return array();
            case 't': return literal("true", 4) ? boolean(true) : nullptr;
            case 'f': return literal("false", 5) ? boolean(false) : nullptr;
            case 'n': return literal("null", 4) ? none() : nullptr;
            default: return *p_ == '-' || is_digit(*p_) ? number() : nullptr;
        }
    }

    Ref number() {
        const unsigned char* start = p_;
        if (*p_ == '-') ++p_;
        if (p_ >= end_) return nullptr;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && is_digit(*p_)) ++p_;
        } else {
            return nullptr;
        }
        bool is_float = false;
        if (end_ - p_ >= 2 && *p_ == '.' && is_digit(p_[1])) {
            is_float = true;
            p_ += 2;
            while (p_ < end_ && is_digit(*p_)) ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            const unsigned char* q = p_ + 1;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            if (q < end_ && is_digit(*q)) {
                is_float = true;
                p_ = q;
                while (p_ < end_ && is_digit(*p_)) ++p_;
            }
        }
        const Py_ssize_t len = p_ - start;
        char buf[64];
        if (len >= static_cast<Py_ssize_t>(sizeof buf)) return nullptr;
        std::memcpy(buf, start, static_cast<size_t>(len));
        buf[len] = '\0';
        if (is_float) {
            const double d = PyOS_string_to_double(buf, nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) throw_error();
            return own(PyFloat_FromDouble(d));
        }
        if (len > 18) return nullptr;  // beyond long long; the host applies its digit limit
        return own(PyLong_FromLongLong(std::strtoll(buf, nullptr, 10)));
    }

    // Skip eight bytes at a time while none is a quote, a backslash or a
    // control character (the word tests have no false negatives).
    void skip_plain() {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        while (end_ - p_ >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p_, 8);
            const std::uint64_t quote = w ^ (ones * '"');
            const std::uint64_t backslash = w ^ (ones * '\\');
            const std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                          ((w - ones * 0x20) & ~w);
            if (special & highs) return;
            p_ += 8;
        }
    }

    static int hex_value(unsigned char ch) {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        return -1;
    }

    static void append_utf8(std::string& out, unsigned int cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }

    Ref string() {
        ++p_;  // the opening quote
        const unsigned char* segment = p_;
        std::string unescaped;
        bool escaped = false;
        while (true) {
            skip_plain();
            if (p_ >= end_) return nullptr;
            const unsigned char ch = *p_;
            if (ch == '"') break;
            if (ch < 0x20) return nullptr;
            if (ch != '\\') {
                ++p_;
                continue;
            }
            escaped = true;
            unescaped.append(reinterpret_cast<const char*>(segment), static_cast<size_t>(p_ - segment));
            if (end_ - p_ < 2) return nullptr;
            const unsigned char kind = p_[1];
            p_ += 2;
            switch (kind) {
                case '"': unescaped.push_back('"'); break;
                case '\\': unescaped.push_back('\\'); break;
                case '/': unescaped.push_back('/'); break;
                case 'b': unescaped.push_back('\b'); break;
                case 'f': unescaped.push_back('\f'); break;
                case 'n': unescaped.push_back('\n'); break;
                case 'r': unescaped.push_back('\r'); break;
                case 't': unescaped.push_back('\t'); break;
                case 'u': {
                    if (end_ - p_ < 4) return nullptr;
                    unsigned int cp = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int h = hex_value(p_[i]);
                        if (h < 0) return nullptr;
                        cp = (cp << 4) | static_cast<unsigned int>(h);
                    }
                    if (cp >= 0xd800 && cp <= 0xdfff) return nullptr;  // pairing rules: the host's
                    append_utf8(unescaped, cp);
                    p_ += 4;
                    break;
                }
                default: return nullptr;
            }
            segment = p_;
        }
        const char* data = reinterpret_cast<const char*>(segment);
        Py_ssize_t size = p_ - segment;
        if (escaped) {
            unescaped.append(data, static_cast<size_t>(size));
            data = unescaped.data();
            size = static_cast<Py_ssize_t>(unescaped.size());
        }
        ++p_;  // the closing quote
        PyObject* s = PyUnicode_DecodeUTF8(data, size, "strict");
        if (s == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error();
            PyErr_Clear();
            return nullptr;
        }
        return Ref::own(s);
    }

    // The characters of a string at p_ when it is plain ASCII text without
    // escapes; p_ moves past it. False (p_ unchanged) otherwise.
    bool plain_string(TextSpan& span) {
        const unsigned char* q = p_ + 1;
        // Eight bytes at a time while none is a quote, a backslash, a
        // control character or outside ASCII.
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        while (end_ - q >= 8) {
            std::uint64_t w;
            std::memcpy(&w, q, 8);
            const std::uint64_t quote = w ^ (ones * '"');
            const std::uint64_t backslash = w ^ (ones * '\\');
            const std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                          ((w - ones * 0x20) & ~w) | w;
            if (special & highs) break;
            q += 8;
        }
        while (q < end_ && *q != '"') {
            if (*q < 0x20 || *q >= 0x80 || *q == '\\') return false;
            ++q;
        }
        if (q >= end_) return false;
        span.data = reinterpret_cast<const char*>(p_ + 1);
        span.size = q - (p_ + 1);
        p_ = q + 1;
        return true;
    }

    Ref object() {
        if (++depth_ > kMaxJsonDepth) return nullptr;
        ++p_;
        skip_ws();
        Ref dict = own(PyDict_New());
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            --depth_;
            return dict;
        }
        while (true) {
            if (p_ >= end_ || *p_ != '"') return nullptr;
            Ref key = string();
            if (!key) return nullptr;
            skip_ws();
            if (p_ >= end_ || *p_ != ':') return nullptr;
            ++p_;
            skip_ws();
            if (sig_ != nullptr && depth_ == 1 && PyUnicode_CompareWithASCIIString(key.get(), "sig") == 0) {
                TextSpan span;
                if (p_ < end_ && *p_ == '"' && plain_string(span)) {
                    // The last "sig" wins, as in the host's dict.
                    *sig_ = span;
                    check(PyDict_Pop(dict.get(), key.get(), nullptr));
                    skip_ws();
                    if (p_ < end_ && *p_ == ',') {
                        ++p_;
                        skip_ws();
                        continue;
                    }
                    if (p_ < end_ && *p_ == '}') break;
                    return nullptr;
                }
                *sig_ = TextSpan{};
            }
            Ref item = value();
            if (!item) return nullptr;
            check(PyDict_SetItem(dict.get(), key.get(), item.get()));
            skip_ws();
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                skip_ws();
                continue;
            }
            if (p_ < end_ && *p_ == '}') break;
            return nullptr;
        }
        ++p_;
        --depth_;
        return dict;
    }

    Ref array() {
        if (++depth_ > kMaxJsonDepth) return nullptr;
        ++p_;
        skip_ws();
        Ref list = own(PyList_New(0));
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            --depth_;
            return list;
        }
        while (true) {
            Ref item = value();
            if (!item) return nullptr;
            check(PyList_Append(list.get(), item.get()));
            skip_ws();
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                skip_ws();
                continue;
            }
            if (p_ < end_ && *p_ == ']') break;
            return nullptr;
        }
        ++p_;
        --depth_;
        return list;
    }

    const unsigned char* begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    TextSpan* sig_;
    int depth_ = 0;
    Failure failure_ = Failure::Unknown;
    Py_ssize_t failure_pos_ = 0;
};

// json.decoder.JSONDecodeError(msg, doc, pos) as the host's json.loads
// raises it for a whole-document failure, built as its __init__ builds it
// (the guard keeps that __init__ the original), set as the current error.
void set_json_error(const Call& c, const char* msg, PyObject* doc, Py_ssize_t pos, bool expecting_value) {
    const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(doc));  // ASCII
    Py_ssize_t lineno = 1;
    Py_ssize_t last_newline = -1;
    for (Py_ssize_t i = 0; i < pos; ++i)
        if (chars[i] == '\n') ++lineno, last_newline = i;
    const Py_ssize_t colno = pos - last_newline;
    Ref errmsg = own(PyUnicode_FromFormat("%s: line %zd column %zd (char %zd)", msg, lineno, colno, pos));
    Ref args = own(PyTuple_Pack(1, errmsg.get()));
    auto* cls = reinterpret_cast<PyTypeObject*>(c.st->json_decode_error);
    Ref exc = own(cls->tp_new(cls, args.get(), nullptr));
    Ref msg_text = text(msg);
    Ref pos_obj = own(PyLong_FromSsize_t(pos));
    Ref lineno_obj = own(PyLong_FromSsize_t(lineno));
    Ref colno_obj = own(PyLong_FromSsize_t(colno));
    check(PyObject_GenericSetAttr(exc.get(), c.st->msg, msg_text.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->doc, doc));
    check(PyObject_GenericSetAttr(exc.get(), c.st->pos, pos_obj.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->lineno, lineno_obj.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->colno, colno_obj.get()));
    if (expecting_value) {
        // Raised `from None` while the scanner's StopIteration(pos) is
        // being handled.
        Ref stop = own(PyObject_CallOneArg(PyExc_StopIteration, pos_obj.get()));
        PyException_SetContext(exc.get(), stop.release());
        PyException_SetCause(exc.get(), nullptr);
    }
    PyErr_SetRaisedException(exc.release());
}

enum class Json { Done, Failed, Host };

// The document natively (Done), the host's error set natively for the two
// whole-document failures of a plain document (Failed), or neither, no
// error set, for the host to decide (Host).
Json native_json(const Call& c, PyObject* data, TextSpan* sig, Ref& doc) {
    const unsigned char* bytes = nullptr;
    Py_ssize_t n = 0;
    // Exact types only: a subclass may decode itself differently. Bytes in
    // UTF-16 or UTF-32, or with a byte-order mark, hold bytes that are not
    // ASCII or are zero outside any string, so the reader gives them up.
    if (PyBytes_CheckExact(data)) {
        bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
        n = PyBytes_GET_SIZE(data);
    } else if (PyByteArray_CheckExact(data)) {
        bytes = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(data));
        n = PyByteArray_GET_SIZE(data);
    } else if (PyUnicode_CheckExact(data) && PyUnicode_IS_ASCII(data)) {
        bytes = static_cast<const unsigned char*>(PyUnicode_DATA(data));
        n = PyUnicode_GET_LENGTH(data);
    } else {
        return Json::Host;
    }
    JsonReader reader(bytes, n, sig);
    doc = reader.document();
    if (doc) return Json::Done;
    if (reader.failure() == JsonReader::Failure::Unknown) return Json::Host;
    // The host reads bytes as UTF-8 (no zero among the first four, no
    // byte-order mark) only when every byte is ASCII: then its text has
    // the same characters at the same places.
    Ref doc_text;
    if (PyUnicode_Check(data)) {
        doc_text = borrow(data);
    } else {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (bytes[i] >= 0x80 || (i < 4 && bytes[i] == 0)) return Json::Host;
        doc_text = own(PyUnicode_DecodeASCII(reinterpret_cast<const char*>(bytes), n, "strict"));
    }
    const bool expecting = reader.failure() == JsonReader::Failure::ExpectingValue;
    set_json_error(c, expecting ? "Expecting value" : "Extra data", doc_text.get(), reader.failure_pos(), expecting);
    return Json::Failed;
}

}  // namespace

Ref urlsafe_b64decode(const Call& c, PyObject* data) {
    if (originals_in_place(c, Guard::UrlsafeB64decode)) {
        Ref result;
        const Native done = decode_text(c, data, 0, kUrlSafe, kUrlSafeShifted, false, result);
        if (done != Native::NotHandled) return result;
    }
    Ref b64 = c.global(c.st->g_base64);
    Ref decode = getattr(b64.get(), c.st->urlsafe_b64decode);
    return Ref::own_or_null(PyObject_CallOneArg(decode.get(), data));
}

Ref urlsafe_b64decode_padded(const Call& c, PyObject* text, Py_ssize_t pad) {
    if (originals_in_place(c, Guard::UrlsafeB64decode)) {
        Ref result;
        const Native done = decode_text(c, text, pad, kUrlSafe, kUrlSafeShifted, false, result);
        if (done != Native::NotHandled) return result;
    }
    Ref pads = own(PyUnicode_FromStringAndSize("===", pad));
    Ref padded = own(PyUnicode_Concat(text, pads.get()));
    return urlsafe_b64decode(c, padded.get());
}

Ref urlsafe_b64decode_ascii(const Call& c, const char* text, Py_ssize_t n, Py_ssize_t pad) {
    Ref result;
    decode_ascii(c, reinterpret_cast<const unsigned char*>(text), n, pad, kUrlSafe, kUrlSafeShifted, false, result);
    return result;
}

Ref json_loads(const Call& c, PyObject* data, TextSpan* sig) {
    if (originals_in_place(c, Guard::JsonLoads)) {
        Ref doc;
        const Json done = native_json(c, data, sig, doc);
        if (done != Json::Host) return doc;
        if (sig != nullptr) *sig = TextSpan{};
    }
    Ref json = c.global(c.st->g_json);
    Ref loads = getattr(json.get(), c.st->loads);
    return Ref::own_or_null(PyObject_CallOneArg(loads.get(), data));
}

Ref b64decode(const Call& c, PyObject* data, bool validate) {
    if (originals_in_place(c, Guard::B64decode)) {
        Ref result;
        const Native done = decode_text(c, data, 0, kStandard, kStandardShifted, validate, result);
        if (done != Native::NotHandled) return result;
    }
    Ref b64 = c.global(c.st->g_base64);
    Ref decode = getattr(b64.get(), c.st->b64decode);
    if (!validate) return Ref::own_or_null(PyObject_CallOneArg(decode.get(), data));
    PyObject* args[] = {data, Py_True};
    return Ref::own_or_null(PyObject_Vectorcall(decode.get(), args, 1, c.st->kw_validate));
}

}  // namespace qt::codecs
