// Native equivalents of the host's base64 and JSON decoders.
#include "codecs.hpp"

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

// Decodes into out (room for n / 4 * 3 + 3 bytes); *written gets the length.
// out needs room for n / 4 * 3 + 3 bytes: the group loop stores four bytes
// at a time and keeps three.
B64 a2b_base64(const unsigned char* data, Py_ssize_t n, const B64Table& table, const B64Shifted& shifted,
               bool strict, unsigned char* out, Py_ssize_t* written) {
    unsigned char* o = out;
    Py_ssize_t i = 0;
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
    for (; i < n; ++i) {
        unsigned char ch = data[i];
        if (ch == '=') {
            padding_started = true;
            if (strict && quad_pos == 0) {
                status = B64::Refused;
                break;
            }
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
                if (strict && i + 1 < n) status = B64::Refused;
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

// Decode str natively as the host would; false when the host must be asked
// (not text). Raises the host's errors on failure.
bool native_b64decode(const Call& c, PyObject* data, const B64Table& table, const B64Shifted& shifted, bool strict,
                      Ref& result) {
    if (!PyUnicode_Check(data)) return false;
    if (!PyUnicode_IS_ASCII(data)) {
        PyErr_SetString(PyExc_ValueError, "string argument should contain only ASCII characters");
        throw_error();
    }
    const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(data));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n / 4 * 3 + 3);
    if (out == nullptr) throw_error();
    Py_ssize_t written = 0;
    const B64 status =
        a2b_base64(text, n, table, shifted, strict, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)), &written);
    if (status == B64::Ok) {
        if (_PyBytes_Resize(&out, written) < 0) throw_error();  // frees out on failure
        result = Ref::own(out);
        return true;
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
    throw_error();
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
    JsonReader(const unsigned char* p, Py_ssize_t n) : p_(p), end_(p + n) {}

    Ref document() {
        skip_ws();
        Ref v = value();
        if (!v) return v;
        skip_ws();
        if (p_ != end_) return nullptr;
        return v;
    }

private:
    static bool is_digit(unsigned char ch) { return ch >= '0' && ch <= '9'; }

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

    const unsigned char* p_;
    const unsigned char* end_;
    int depth_ = 0;
};

// The document natively, or an empty Ref (no error set) for the host.
Ref native_json(PyObject* data) {
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
        return nullptr;
    }
    return JsonReader(bytes, n).document();
}

}  // namespace

Ref urlsafe_b64decode(const Call& c, PyObject* data) {
    Ref result;
    if (originals_in_place(c, Guard::UrlsafeB64decode) &&
        native_b64decode(c, data, kUrlSafe, kUrlSafeShifted, false, result))
        return result;
    Ref b64 = c.global(c.st->g_base64);
    Ref decode = getattr(b64.get(), c.st->urlsafe_b64decode);
    return call(decode.get(), data);
}

Ref json_loads(const Call& c, PyObject* data) {
    if (originals_in_place(c, Guard::JsonLoads)) {
        Ref doc = native_json(data);
        if (doc) return doc;
    }
    Ref json = c.global(c.st->g_json);
    Ref loads = getattr(json.get(), c.st->loads);
    return call(loads.get(), data);
}

Ref b64decode(const Call& c, PyObject* data, bool validate) {
    Ref result;
    if (originals_in_place(c, Guard::B64decode) &&
        native_b64decode(c, data, kStandard, kStandardShifted, validate, result))
        return result;
    Ref b64 = c.global(c.st->g_base64);
    Ref decode = getattr(b64.get(), c.st->b64decode);
    if (!validate) return call(decode.get(), data);
    PyObject* args[] = {data, Py_True};
    return own(PyObject_Vectorcall(decode.get(), args, 1, c.st->kw_validate));
}

}  // namespace qt::codecs
