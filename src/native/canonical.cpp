// RFC 8785 canonical bytes, natively, for the values where the result is
// known to be byte for byte what `rfc8785.dumps` writes.
//
// What the canonicaliser does with those values, and so what is written
// here: None, True and False as null, true and false; an int as its decimal
// digits; a str between quotes with `"` and `\` escaped by a backslash,
// U+0008, U+0009, U+000A, U+000C and U+000D as \b, \t, \n, \f and \r, the
// other code points below U+0020 as \u00xx in lower-case hexadecimal, and
// every other code point (U+007F, U+2028 and U+2029 included) as its UTF-8
// bytes; a list as its elements in order; a dict as its members ordered by
// the UTF-16 code units of their names.
//
// Everything else goes to the canonicaliser, for the whole value: floats
// (their shortest round-trip spelling is its own), ints it refuses, text it
// refuses (lone surrogates), subclasses and tuples (it converts them with
// their own methods), and nesting deep enough to meet the interpreter's
// recursion limit inside it.
#include "canonical.hpp"

#include "guard.hpp"
#include "internals.hpp"
#include "scan.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace qt::canonical {

namespace {

// Python frames `rfc8785.dumps` stacks beyond the nesting depth of its
// value: dumps itself, dump for the innermost scalar, _serialize_str and
// the escape callback of its regular expression (4), with room to spare.
constexpr int kHostFramesBeyondDepth = 8;
// Nesting written natively at most, whatever the recursion limit allows:
// this writer recurses on the C stack.
constexpr int kMaxDepth = 200;

constexpr long long kMaxSafeInt = (1LL << 53) - 1;

// The escape of each ASCII character, and whether it needs one.
struct Escapes {
    char text[128][7];
    bool needed[128];
    constexpr Escapes() : text(), needed() {
        constexpr char hex[] = "0123456789abcdef";
        for (int ch = 0; ch < 0x20; ++ch) {
            needed[ch] = true;
            const char s[7] = {'\\', 'u', '0', '0', hex[ch >> 4], hex[ch & 15], 0};
            for (int i = 0; i < 7; ++i) text[ch][i] = s[i];
        }
        const struct {
            char ch, short_form;
        } shorts[] = {{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}, {'"', '"'}, {'\\', '\\'}};
        for (auto s : shorts) {
            needed[static_cast<int>(s.ch)] = true;
            text[static_cast<int>(s.ch)][0] = '\\';
            text[static_cast<int>(s.ch)][1] = s.short_form;
            text[static_cast<int>(s.ch)][2] = 0;
        }
    }
};
constexpr Escapes kEscapes;

bool is_surrogate(Py_UCS4 ch) { return ch >= 0xD800 && ch <= 0xDFFF; }

class Writer {
public:
    explicit Writer(int max_depth) : max_depth_(max_depth) { out_.reserve(512); }

    // Appends the canonical form of v; false when v lies outside the subset.
    // No Python code runs while it writes (every object it reads is of an
    // exact built-in type and nothing is called), so the value cannot
    // change under it and borrowed references stay valid.
    bool write_value(PyObject* v, int depth) {
        if (v == Py_None) return literal("null");
        if (v == Py_True) return literal("true");
        if (v == Py_False) return literal("false");
        if (PyUnicode_CheckExact(v)) return write_text(v);
        if (PyLong_CheckExact(v)) return write_int(v);
        if (PyDict_CheckExact(v)) return write_object(v, depth + 1);
        if (PyList_CheckExact(v)) return write_array(v, depth + 1);
        return false;
    }

    Ref bytes() const { return own(PyBytes_FromStringAndSize(out_.data(), static_cast<Py_ssize_t>(out_.size()))); }

private:
    struct Member {
        PyObject* name;
        PyObject* value;
    };

    template <size_t N>
    bool literal(const char (&s)[N]) {
        out_.append(s, N - 1);
        return true;
    }

    bool write_int(PyObject* v) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        // An exact int cannot fail to convert, only overflow.
        if (overflow != 0 || n > kMaxSafeInt || n < -kMaxSafeInt) return false;
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, n);
        out_.append(digits, r.ptr);
        return true;
    }

    bool write_text(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        out_.push_back('"');
        bool ok = true;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                if (PyUnicode_IS_ASCII(s)) {
                    ascii(static_cast<const Py_UCS1*>(data), n);
                } else {
                    ok = wide(static_cast<const Py_UCS1*>(data), n);
                }
                break;
            case PyUnicode_2BYTE_KIND:
                ok = wide(static_cast<const Py_UCS2*>(data), n);
                break;
            default:
                ok = wide(static_cast<const Py_UCS4*>(data), n);
                break;
        }
        out_.push_back('"');
        return ok;
    }

    void escape(Py_UCS4 ch) { out_.append(kEscapes.text[ch]); }

    // ASCII text: runs without anything to escape are copied as they are
    // (the characters escaped are exactly those scan::special stops at).
    void ascii(const Py_UCS1* p, Py_ssize_t n) {
        const Py_UCS1* end = p + n;
        while (true) {
            const Py_UCS1* stop = scan::special(p, end, false);
            out_.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
            if (stop == end) return;
            escape(*stop);
            p = stop + 1;
        }
    }

    template <typename Unit>
    bool wide(const Unit* p, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 ch = p[i];
            if (ch < 0x80) {
                if (kEscapes.needed[ch]) {
                    escape(ch);
                } else {
                    out_.push_back(static_cast<char>(ch));
                }
            } else if (ch < 0x800) {
                const char u[] = {static_cast<char>(0xC0 | (ch >> 6)), static_cast<char>(0x80 | (ch & 0x3F))};
                out_.append(u, 2);
            } else if (ch < 0x10000) {
                // The canonicaliser refuses text that UTF-8 cannot encode.
                if (is_surrogate(ch)) return false;
                const char u[] = {static_cast<char>(0xE0 | (ch >> 12)), static_cast<char>(0x80 | ((ch >> 6) & 0x3F)),
                                  static_cast<char>(0x80 | (ch & 0x3F))};
                out_.append(u, 3);
            } else {
                const char u[] = {static_cast<char>(0xF0 | (ch >> 18)), static_cast<char>(0x80 | ((ch >> 12) & 0x3F)),
                                  static_cast<char>(0x80 | ((ch >> 6) & 0x3F)), static_cast<char>(0x80 | (ch & 0x3F))};
                out_.append(u, 4);
            }
        }
        return true;
    }

    bool write_array(PyObject* list, int depth) {
        if (depth > max_depth_) return false;
        out_.push_back('[');
        const Py_ssize_t n = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) out_.push_back(',');
            if (!write_value(PyList_GET_ITEM(list, i), depth)) return false;
        }
        out_.push_back(']');
        return true;
    }

    bool write_object(PyObject* dict, int depth) {
        if (depth > max_depth_) return false;
        std::vector<Member> members;
        members.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* member_value = nullptr;
        while (PyDict_Next(dict, &pos, &name, &member_value)) {
            // Surrogates are refused before ordering, which assumes none.
            if (!PyUnicode_CheckExact(name) || has_surrogate(name)) return false;
            members.push_back({name, member_value});
        }
        std::sort(members.begin(), members.end(),
                  [](const Member& a, const Member& b) { return utf16_less(a.name, b.name); });
        out_.push_back('{');
        for (size_t i = 0; i < members.size(); ++i) {
            if (i > 0) out_.push_back(',');
            write_text(members[i].name);
            out_.push_back(':');
            if (!write_value(members[i].value, depth)) return false;
        }
        out_.push_back('}');
        return true;
    }

    static bool has_surrogate(PyObject* s) {
        const int kind = PyUnicode_KIND(s);
        if (kind == PyUnicode_1BYTE_KIND) return false;
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (is_surrogate(PyUnicode_READ(kind, data, i))) return true;
        return false;
    }

    // A code point's place in UTF-16 code-unit order, for text without
    // surrogates: U+E000..U+FFFF are single units above every surrogate,
    // so they follow all of U+10000..U+10FFFF, whose first unit is a high
    // surrogate; everything else keeps code-point order.
    static Py_UCS4 utf16_rank(Py_UCS4 ch) { return ch >= 0xE000 && ch < 0x10000 ? ch + 0x110000 : ch; }

    static bool utf16_less(PyObject* a, PyObject* b) {
        const int ka = PyUnicode_KIND(a);
        const int kb = PyUnicode_KIND(b);
        const Py_ssize_t na = PyUnicode_GET_LENGTH(a);
        const Py_ssize_t nb = PyUnicode_GET_LENGTH(b);
        const void* da = PyUnicode_DATA(a);
        const void* db = PyUnicode_DATA(b);
        const Py_ssize_t n = std::min(na, nb);
        if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
            // Code points below U+0100 are their own single code units.
            const int r = std::memcmp(da, db, static_cast<size_t>(n));
            return r != 0 ? r < 0 : na < nb;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 ca = PyUnicode_READ(ka, da, i);
            const Py_UCS4 cb = PyUnicode_READ(kb, db, i);
            if (ca != cb) return utf16_rank(ca) < utf16_rank(cb);
        }
        return na < nb;
    }

    std::string out_;
    int max_depth_;
};

// Nesting the canonicaliser could write from the caller's frame without
// meeting the recursion limit; deeper values are left to it, so that it
// raises its RecursionError itself.
int depth_allowed() {
    const int room = internals::recursion_remaining() - kHostFramesBeyondDepth;
    return std::min(room, kMaxDepth);
}

// Whether the canonicaliser about to be called is the original: the
// module's `_load_crypto` as bound at import returned the module it first
// imported, whose `dumps` is the one it had then and reads what it did.
bool canonicaliser_is_original(const Call& c, PyObject* rfc8785, PyObject* dumps) {
    return rfc8785 == c.st->rfc8785 && dumps == c.st->rfc8785_dumps && c.st->rfc8785 != nullptr &&
           originals_in_place(c, Guard::Canonicaliser);
}

}  // namespace

std::optional<Ref> native_dumps(PyObject* value) {
    Writer w(depth_allowed());
    if (!w.write_value(value, 0)) return std::nullopt;
    return w.bytes();
}

Ref signed_bytes(const Call& c, PyObject* rfc8785, PyObject* dumps, PyObject* payload) {
    if (canonicaliser_is_original(c, rfc8785, dumps)) {
        if (std::optional<Ref> bytes = native_dumps(payload)) return std::move(*bytes);
    }
    return call(dumps, payload);
}

}  // namespace qt::canonical
