// A native equivalent of the host's json.loads, and the host's error for a
// document that fails as a whole.
#include "json.hpp"

#include "guard.hpp"
#include "scan.hpp"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

namespace qt::json {

namespace {

// --- The reader -----------------------------------------------------------------
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

// A value read, or nullopt (no error set) where the reader gives up and
// the host decides.
using Read = std::optional<Ref>;

class JsonReader {
public:
    // With `sig`, a top-level member "sig" holding plain text (ASCII, no
    // escapes) is not stored: its characters are left in place in *sig.
    //
    // `names` (count `n_names`, may be empty) are exact, interned texts
    // that a member name equal to one of them is read as: the same text,
    // without building it again.
    JsonReader(const unsigned char* p, Py_ssize_t n, TextSpan* sig, PyObject* const* names = nullptr, int n_names = 0)
        : begin_(p), p_(p), end_(p + n), sig_(sig), names_(names), n_names_(n_names) {}

    // Where the document fails when the host's json.loads would fail there
    // with one of the two errors of the whole document (no value where the
    // document's value begins, or anything after it), for the reader to
    // report; Unknown when the host decides.
    enum class Failure { Unknown, ExpectingValue, ExtraData };
    Failure failure() const { return failure_; }
    Py_ssize_t failure_pos() const { return failure_pos_; }

    Read document() {
        skip_ws();
        if (!value_can_start()) {
            failure_ = Failure::ExpectingValue;
            failure_pos_ = p_ - begin_;
            return std::nullopt;
        }
        Read v = value();
        if (!v) return v;
        skip_ws();
        if (p_ != end_) {
            // The value read here is the value the host reads, ending at
            // the same place: the rest is the host's "Extra data".
            failure_ = Failure::ExtraData;
            failure_pos_ = p_ - begin_;
            return std::nullopt;
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
            case '"':
            case '{':
            case '[':
                return true;
            case 'n':
                return starts_with("null");
            case 't':
                return starts_with("true");
            case 'f':
                return starts_with("false");
            case 'N':
                return starts_with("NaN");
            case 'I':
                return starts_with("Infinity");
            case '-':
                return starts_with("-Infinity") || (end_ - p_ >= 2 && is_digit(p_[1]));
            default:
                return is_digit(*p_);
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

    Read value() {
        if (p_ >= end_) return std::nullopt;
        switch (*p_) {
            case '"':
                return string();
            case '{':
                return object();
            case '[':
                return array();
            case 't':
                return literal("true", 4) ? Read(boolean(true)) : std::nullopt;
            case 'f':
                return literal("false", 5) ? Read(boolean(false)) : std::nullopt;
            case 'n':
                return literal("null", 4) ? Read(none()) : std::nullopt;
            default:
                return *p_ == '-' || is_digit(*p_) ? number() : std::nullopt;
        }
    }

    Read number() {
        const unsigned char* start = p_;
        if (*p_ == '-') ++p_;
        if (p_ >= end_) return std::nullopt;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && is_digit(*p_)) ++p_;
        } else {
            return std::nullopt;
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
        if (len >= static_cast<Py_ssize_t>(sizeof buf)) return std::nullopt;
        std::memcpy(buf, start, static_cast<size_t>(len));
        buf[len] = '\0';
        if (is_float) {
            const double d = PyOS_string_to_double(buf, nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) throw_error();
            return own(PyFloat_FromDouble(d));
        }
        if (len > 18) return std::nullopt;  // beyond long long; the host applies its digit limit
        return own(PyLong_FromLongLong(std::strtoll(buf, nullptr, 10)));
    }

    // Past the characters of a string that need no attention.
    void skip_plain() { p_ = scan::special(p_, end_, false); }

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

    // A string of plain ASCII text without escapes, the common case, as
    // the general reader below would read it; nullopt (p_ unchanged) for
    // anything else.
    Read plain_ascii_string(bool member_name) {
        TextSpan span;
        if (!plain_string(span)) return std::nullopt;
        if (member_name) {
            for (int i = 0; i < n_names_; ++i) {
                PyObject* name = names_[i];
                if (PyUnicode_GET_LENGTH(name) == span.size &&
                    std::memcmp(PyUnicode_DATA(name), span.data, static_cast<size_t>(span.size)) == 0)
                    return borrow(name);
            }
        }
        Ref s = own(PyUnicode_New(span.size, 127));
        std::memcpy(PyUnicode_DATA(s.get()), span.data, static_cast<size_t>(span.size));
        return s;
    }

    Read string(bool member_name = false) {
        if (Read plain = plain_ascii_string(member_name)) return plain;
        ++p_;  // the opening quote
        const unsigned char* segment = p_;
        std::string unescaped;
        bool escaped = false;
        while (true) {
            skip_plain();
            if (p_ >= end_) return std::nullopt;
            const unsigned char ch = *p_;
            if (ch == '"') break;
            if (ch < 0x20) return std::nullopt;
            if (ch != '\\') {
                ++p_;
                continue;
            }
            escaped = true;
            unescaped.append(reinterpret_cast<const char*>(segment), static_cast<size_t>(p_ - segment));
            if (end_ - p_ < 2) return std::nullopt;
            const unsigned char kind = p_[1];
            p_ += 2;
            switch (kind) {
                case '"':
                    unescaped.push_back('"');
                    break;
                case '\\':
                    unescaped.push_back('\\');
                    break;
                case '/':
                    unescaped.push_back('/');
                    break;
                case 'b':
                    unescaped.push_back('\b');
                    break;
                case 'f':
                    unescaped.push_back('\f');
                    break;
                case 'n':
                    unescaped.push_back('\n');
                    break;
                case 'r':
                    unescaped.push_back('\r');
                    break;
                case 't':
                    unescaped.push_back('\t');
                    break;
                case 'u': {
                    if (end_ - p_ < 4) return std::nullopt;
                    unsigned int cp = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int h = hex_value(p_[i]);
                        if (h < 0) return std::nullopt;
                        cp = (cp << 4) | static_cast<unsigned int>(h);
                    }
                    if (cp >= 0xd800 && cp <= 0xdfff) return std::nullopt;  // pairing rules: the host's
                    append_utf8(unescaped, cp);
                    p_ += 4;
                    break;
                }
                default:
                    return std::nullopt;
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
            return std::nullopt;
        }
        return Ref::own(s);
    }

    // The characters of a string at p_ when it is plain ASCII text without
    // escapes; p_ moves past it. False (p_ unchanged) otherwise.
    bool plain_string(TextSpan& span) {
        const unsigned char* q = scan::special(p_ + 1, end_, true);
        if (q >= end_ || *q != '"') return false;
        span.data = reinterpret_cast<const char*>(p_ + 1);
        span.size = q - (p_ + 1);
        p_ = q + 1;
        return true;
    }

    // Past the opening character of a container, one level deeper; false
    // when that is deeper than the reader goes.
    bool open_container() {
        if (++depth_ > kMaxJsonDepth) return false;
        ++p_;
        skip_ws();
        return true;
    }

    // What follows a member or an element: a comma (another one follows),
    // the container's closing character (p_ moves past it) or anything
    // else, which the host decides on.
    enum class Next { Another, Closed, Broken };
    Next after_item(unsigned char close) {
        skip_ws();
        if (p_ < end_ && *p_ == ',') {
            ++p_;
            skip_ws();
            return Next::Another;
        }
        if (p_ < end_ && *p_ == close) {
            ++p_;
            --depth_;
            return Next::Closed;
        }
        return Next::Broken;
    }

    // The container is empty: p_ moves past its closing character.
    bool closes_at_once(unsigned char close) {
        if (p_ >= end_ || *p_ != close) return false;
        ++p_;
        --depth_;
        return true;
    }

    Read object() {
        if (!open_container()) return std::nullopt;
        Ref dict = own(PyDict_New());
        if (closes_at_once('}')) return dict;
        while (true) {
            if (p_ >= end_ || *p_ != '"') return std::nullopt;
            Read key = string(true);
            if (!key) return std::nullopt;
            skip_ws();
            if (p_ >= end_ || *p_ != ':') return std::nullopt;
            ++p_;
            skip_ws();
            if (!member_value(dict.get(), key->get())) return std::nullopt;
            const Next next = after_item('}');
            if (next == Next::Closed) return dict;
            if (next == Next::Broken) return std::nullopt;
        }
    }

    // The value of a member, stored under key; false where the reader
    // gives up. A top-level "sig" holding plain text is left in place
    // when asked for (the last "sig" wins, as in the host's dict).
    bool member_value(PyObject* dict, PyObject* key) {
        if (sig_ != nullptr && depth_ == 1 && PyUnicode_CompareWithASCIIString(key, "sig") == 0) {
            TextSpan span;
            if (p_ < end_ && *p_ == '"' && plain_string(span)) {
                *sig_ = span;
                check(PyDict_Pop(dict, key, nullptr));
                return true;
            }
            *sig_ = TextSpan{};
        }
        Read item = value();
        if (!item) return false;
        check(PyDict_SetItem(dict, key, item->get()));
        return true;
    }

    Read array() {
        if (!open_container()) return std::nullopt;
        Ref list = own(PyList_New(0));
        if (closes_at_once(']')) return list;
        while (true) {
            Read item = value();
            if (!item) return std::nullopt;
            check(PyList_Append(list.get(), item->get()));
            const Next next = after_item(']');
            if (next == Next::Closed) return list;
            if (next == Next::Broken) return std::nullopt;
        }
    }

    const unsigned char* begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    TextSpan* sig_;
    PyObject* const* names_;
    int n_names_;
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
    // "<msg>: line L column C (char P)", as the error's __init__ words it.
    std::string words(msg);
    const auto put_number = [&words](const char* label, Py_ssize_t v) {
        char digits[24];
        words += label;
        words.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
    };
    put_number(": line ", lineno);
    put_number(" column ", colno);
    put_number(" (char ", pos);
    words += ')';
    Ref errmsg = own(PyUnicode_FromStringAndSize(words.data(), static_cast<Py_ssize_t>(words.size())));
    Ref args = own(PyTuple_Pack(1, errmsg.get()));
    auto* cls = reinterpret_cast<PyTypeObject*>(c.st->json_decode_error);
    Ref exc = own(cls->tp_new(cls, args.get(), nullptr));
    Ref msg_text = text(msg);
    Ref pos_obj = own(PyLong_FromSsize_t(pos));
    Ref lineno_obj = own(PyLong_FromSsize_t(lineno));
    Ref colno_obj = own(PyLong_FromSsize_t(colno));
    check(PyObject_GenericSetAttr(exc.get(), c.st->str_msg, msg_text.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->str_doc, doc));
    check(PyObject_GenericSetAttr(exc.get(), c.st->str_pos, pos_obj.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->str_lineno, lineno_obj.get()));
    check(PyObject_GenericSetAttr(exc.get(), c.st->str_colno, colno_obj.get()));
    if (expecting_value) {
        // Raised `from None` while the scanner's StopIteration(pos) is
        // being handled.
        Ref stop = own(PyObject_CallOneArg(PyExc_StopIteration, pos_obj.get()));
        PyException_SetContext(exc.get(), stop.release());
        PyException_SetCause(exc.get(), nullptr);
    }
    PyErr_SetRaisedException(exc.release());
}

// The document read natively, the host's error set natively for the two
// whole-document failures of a plain document, or declined for the host to
// decide.
FastResult native_loads(const Call& c, PyObject* data, TextSpan* sig) {
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
        return FastResult::decline();
    }
    const ModuleState* st = c.st;
    PyObject* const names[] = {
        st->str_payload,      st->str_alg,         st->str_kid,
        st->str_sig,          st->str_passport_id, st->str_agent_did,
        st->str_issuer_did,   st->str_scopes,      st->str_spend_limit_microusd,
        st->str_spend_window, st->str_issued_at,   st->str_expires_at,
        st->str_revoked,      st->str_keys,        st->str_public_key_b64,
    };
    JsonReader reader(bytes, n, sig, names, static_cast<int>(std::size(names)));
    if (Read doc = reader.document()) return FastResult::answer(std::move(*doc));
    if (reader.failure() == JsonReader::Failure::Unknown) return FastResult::decline();
    // The host reads bytes as UTF-8 (no zero among the first four, no
    // byte-order mark) only when every byte is ASCII: then its text has
    // the same characters at the same places.
    Ref doc_text;
    if (PyUnicode_Check(data)) {
        doc_text = borrow(data);
    } else {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (bytes[i] >= 0x80 || (i < 4 && bytes[i] == 0)) return FastResult::decline();
        doc_text = own(PyUnicode_DecodeASCII(reinterpret_cast<const char*>(bytes), n, "strict"));
    }
    const bool expecting = reader.failure() == JsonReader::Failure::ExpectingValue;
    set_json_error(c, expecting ? "Expecting value" : "Extra data", doc_text.get(), reader.failure_pos(), expecting);
    return FastResult::failure();
}

}  // namespace

Ref loads(const Call& c, PyObject* data, TextSpan* sig) {
    return returning([&] {
        if (originals_in_place(c, Guard::JsonLoads)) {
            FastResult native = native_loads(c, data, sig);
            if (!native.declined()) return native.take();
            if (sig != nullptr) *sig = TextSpan{};
        }
        Ref json = c.global(c.st->g_json);
        Ref host_loads = getattr(json.get(), c.st->str_loads);
        return Ref::own_or_error(PyObject_CallOneArg(host_loads.get(), data));
    });
}

}  // namespace qt::json
