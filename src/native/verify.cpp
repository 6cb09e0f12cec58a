// Offline verification: expiry and revocation inputs, issuer key
// resolution and the verification pipeline.
#include "verify.hpp"

#include "credential.hpp"
#include "guard.hpp"
#include "internals.hpp"
#include "memo.hpp"
#include "records.hpp"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qt::verify {

namespace {

// Whether the current error is an instance of the module's PassportError,
// as it is bound now.
bool error_is_passport_error(const Call& c) {
    Ref cls = c.global(c.st->g_PassportError);
    return PyErr_ExceptionMatches(cls.get()) != 0;
}

// --- Expiry ---------------------------------------------------------------------
//
// The stamp is read as the host's datetime.strptime reads it under
// "%Y-%m-%dT%H:%M:%SZ": a regular expression (case-insensitive) whose
// fields are Y = \d\d\d\d, m = 1[0-2]|0[1-9]|[1-9],
// d = 3[01]|[12]\d|0[1-9]|[1-9]| [1-9], H = 2[0-3]|[01]\d|\d,
// M = [0-5]\d|\d, S = 6[01]|[0-5]\d|\d, where \d is any Unicode decimal
// digit and the bracketed ranges are ASCII only, matched against the whole
// text; then the date and time must exist (no second 60 or 61). While the
// expiry guard holds (the module's datetime, timezone and _TS_FMT, and the
// _strptime functions behind strptime, are the ones of import) the stamp is
// parsed natively; otherwise strptime itself is called.

struct Stamp {
    int year, month, day, hour, minute, second;
};

class StampReader {
public:
    explicit StampReader(PyObject* text)
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), n_(PyUnicode_GET_LENGTH(text)) {}

    bool read(Stamp& out) {
        if (n_ < 4) return false;
        out.year = 0;
        for (int i = 0; i < 4; ++i) {
            const int v = unicode_digit(at(i));
            if (v < 0) return false;
            out.year = out.year * 10 + v;
        }
        pos_ = 4;
        return separator('-') && field(out.month, Field::Month) && separator('-') && field(out.day, Field::Day) &&
               separator('T') && field(out.hour, Field::Hour) && separator(':') &&
               field(out.minute, Field::Minute) && separator(':') && field(out.second, Field::Second) &&
               separator('Z') && pos_ == n_;
    }

private:
    enum class Field { Month, Day, Hour, Minute, Second };

    Py_UCS4 at(Py_ssize_t i) const { return i < n_ ? PyUnicode_READ(kind_, data_, i) : 0; }

    static int unicode_digit(Py_UCS4 ch) { return ch == 0 ? -1 : Py_UNICODE_TODECIMAL(ch); }
    static int ascii_digit(Py_UCS4 ch) { return ch >= '0' && ch <= '9' ? static_cast<int>(ch - '0') : -1; }

    bool separator(char sep) {
        const Py_UCS4 ch = at(pos_);
        // T and Z match in either case, as the case-insensitive pattern does.
        const bool ok = ch == static_cast<Py_UCS4>(sep) ||
                        ((sep == 'T' || sep == 'Z') && ch == static_cast<Py_UCS4>(sep - 'A' + 'a'));
        if (!ok || pos_ >= n_) return false;
        ++pos_;
        return true;
    }

    // A field is one or two characters before its separator. A separator is
    // never a digit or a space, so when a two-character form fits, the
    // one-character forms cannot be followed by the separator: the
    // pattern's backtracking can never prefer them.
    bool field(int& value, Field f) {
        const Py_UCS4 a = at(pos_);
        const Py_UCS4 b = pos_ + 1 < n_ ? at(pos_ + 1) : 0;
        const int a_ascii = ascii_digit(a);
        const int b_unicode = unicode_digit(b);
        int two = -1;
        switch (f) {
            case Field::Month:  // 1[0-2] | 0[1-9]
                if (a_ascii == 1 && ascii_digit(b) >= 0 && ascii_digit(b) <= 2) two = 10 + ascii_digit(b);
                if (a_ascii == 0 && ascii_digit(b) >= 1) two = ascii_digit(b);
                break;
            case Field::Day:  // 3[01] | [12]\d | 0[1-9] | " "[1-9]
                if (a_ascii == 3 && ascii_digit(b) >= 0 && ascii_digit(b) <= 1) two = 30 + ascii_digit(b);
                if ((a_ascii == 1 || a_ascii == 2) && b_unicode >= 0) two = a_ascii * 10 + b_unicode;
                if (a_ascii == 0 && ascii_digit(b) >= 1) two = ascii_digit(b);
                if (a == ' ' && ascii_digit(b) >= 1) two = ascii_digit(b);
                break;
            case Field::Hour:  // 2[0-3] | [01]\d
                if (a_ascii == 2 && ascii_digit(b) >= 0 && ascii_digit(b) <= 3) two = 20 + ascii_digit(b);
                if ((a_ascii == 0 || a_ascii == 1) && b_unicode >= 0) two = a_ascii * 10 + b_unicode;
                break;
            case Field::Minute:  // [0-5]\d
                if (a_ascii >= 0 && a_ascii <= 5 && b_unicode >= 0) two = a_ascii * 10 + b_unicode;
                break;
            case Field::Second:  // 6[01] | [0-5]\d
                if (a_ascii == 6 && ascii_digit(b) >= 0 && ascii_digit(b) <= 1) two = 60 + ascii_digit(b);
                if (a_ascii >= 0 && a_ascii <= 5 && b_unicode >= 0) two = a_ascii * 10 + b_unicode;
                break;
        }
        if (two >= 0) {
            value = two;
            pos_ += 2;
            return true;
        }
        // One character: [1-9] for month and day, \d for the time fields.
        const int one = (f == Field::Month || f == Field::Day) ? (a_ascii >= 1 ? a_ascii : -1) : unicode_digit(a);
        if (one >= 0) {
            value = one;
            pos_ += 1;
            return true;
        }
        return false;
    }

    int kind_;
    const void* data_;
    Py_ssize_t n_;
    Py_ssize_t pos_ = 0;
};

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// What the native reader makes of a stamp.
struct StampReading {
    // The instant as an aware UTC datetime; nullopt when the stamp does not
    // parse or names no real instant (fail closed: counted as reached).
    std::optional<Ref> instant;
};

// The native reading of the stamp, or nullopt when the native reader does
// not apply (the expiry guard fails) and the host must read it.
std::optional<StampReading> native_expiry(const Call& c, PyObject* expires_at) {
    if (!originals_in_place(c, Guard::Expiry)) return std::nullopt;
    const PyDateTime_CAPI* api = c.st->datetime_api;  // set whenever the guard holds
    if (!PyUnicode_Check(expires_at)) return StampReading{};  // strptime's TypeError
    Stamp st{};
    if (!StampReader(expires_at).read(st)) return StampReading{};
    if (st.year < 1 || st.day > days_in_month(st.year, st.month) || st.second > 59) return StampReading{};
    return StampReading{own(api->DateTime_FromDateAndTime(st.year, st.month, st.day, st.hour, st.minute, st.second, 0,
                                                          api->TimeZone_UTC, api->DateTimeType))};
}

const Param kIsExpiredParams[] = {
    {"expires_at", "str | None", ParamKind::PositionalOrKeyword, Default::Required},
    {"now", "datetime", ParamKind::PositionalOrKeyword, Default::Required},
};

Ref is_expired_impl(const Call& c, PyObject* const* args) {
    PyObject* expires_at = args[0];
    PyObject* now = args[1];
    // Fail closed: a missing or unreadable stamp counts as reached.
    if (!truthy(expires_at)) return boolean(true);
    if (std::optional<StampReading> read = native_expiry(c, expires_at)) {
        if (!read->instant) return boolean(true);
        return own(PyObject_RichCompare(now, read->instant->get(), Py_GE));
    }
    Ref exp;
    try {
        Ref datetime = c.global(c.st->g_datetime);
        Ref fmt = c.global(c.st->g_TS_FMT);
        Ref strptime = getattr(datetime.get(), c.st->str_strptime);
        Ref parsed = call(strptime.get(), expires_at, fmt.get());
        Ref timezone = c.global(c.st->g_timezone);
        Ref utc = getattr(timezone.get(), c.st->str_utc);
        Ref replace = getattr(parsed.get(), c.st->str_replace);
        PyObject* argv[] = {utc.get()};
        exp = own(PyObject_Vectorcall(replace.get(), argv, 0, c.st->kw_tzinfo));
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
        PyErr_Clear();
        return boolean(true);
    }
    // Outside the guard: a naive or unorderable `now` is the caller's error.
    return own(PyObject_RichCompare(now, exp.get(), Py_GE));
}

// --- Revocation input ---------------------------------------------------------

constexpr const char kRevokedIdsDoc[] =
    "Normalise a CRL argument to a set of revoked passport ids, or None if absent.\n\n"
    "Accepts None (no revocation data), a revocation list document (a dict whose\n"
    "'revoked' member lists the ids; missing means none revoked) or any iterable\n"
    "of ids. Every id is compared as text. Anything that cannot be iterated\n"
    "raises :class:`PassportError`.";

const Param kRevokedIdsParams[] = {{"crl", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

constexpr const char kUnusableCrl[] = "crl must be a mapping with 'revoked', a list, or None";

// What a dict crl stands for: its "revoked" member, a new empty list when
// missing. A dict subclass answers through its own get.
Ref crl_source(const Call& c, PyObject* crl) {
    if (!PyDict_Check(crl)) return borrow(crl);
    Ref empty = own(PyList_New(0));
    return c.member(crl, c.st->str_revoked, empty.get());
}

// The set of revoked ids built from the collection: exact texts as they
// are, anything else by its text form.
Ref revoked_set(const Call& c, PyObject* source) {
    // A list or tuple of exact texts (the usual revocation list) becomes a
    // set directly: no element needs converting and nothing can raise.
    if (PyList_CheckExact(source) || PyTuple_CheckExact(source)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(source);
        PyObject** items = PySequence_Fast_ITEMS(source);
        Py_ssize_t i = 0;
        while (i < n && PyUnicode_CheckExact(items[i])) ++i;
        if (i == n) return own(PySet_New(source));
    }
    try {
        Ref ids = own(PySet_New(nullptr));
        Ref it = own(PyObject_GetIter(source));
        while (std::optional<Ref> item = next_item(it.get())) {
            if (!PyUnicode_CheckExact(item->get())) *item = str_of(item->get());
            check(PySet_Add(ids.get(), item->get()));
        }
        return ids;
    } catch (const PyErrOccurred&) {
        // Only a TypeError means "not a usable shape"; anything else raised
        // while iterating (a failing generator, say) is the caller's own.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        Ref err = take_error();
        raise_passport_error(c, kUnusableCrl, err.get());
    }
}

Ref revoked_ids_impl(const Call& c, PyObject* const* args) {
    PyObject* crl = args[0];
    if (crl == Py_None) return none();
    Ref source = crl_source(c, crl);
    return revoked_set(c, source.get());
}

// --- Revocation membership without the set ------------------------------------
//
// Verification asks one question of the revoked ids: is this passport id
// among them. While the module's _revoked_ids is its own and the passport
// id is a plain text found without running any code, a collection whose
// elements are all exact texts answers it from itself: its set would hold
// exactly those texts, building it runs no code of anyone's and raises
// nothing, so only the answer can be observed. A list or tuple answers in
// one pass, a set or frozenset by its own hash lookup (texts compare as
// texts). Every other case -- an element that is not an exact text, any
// other iterable, anything _revoked_ids refuses, a passport id that needs
// converting -- builds the set as _revoked_ids does, at the same step.

bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

enum class Member { Yes, No, Unknown };

// `passport_id in set(source)` for an exact text passport_id, or Unknown
// when source is not an exact list, tuple, set or frozenset of exact
// texts. Runs no Python code.
Member text_member(const Call& c, PyObject* source, PyObject* passport_id) {
    if (PyList_CheckExact(source) || PyTuple_CheckExact(source)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(source);
        PyObject** items = PySequence_Fast_ITEMS(source);
        bool found = false;
        // Past a match every element is still checked: one needing its
        // text form would be converted, and may fail, in the set.
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = items[i];
            if (!PyUnicode_CheckExact(item)) return Member::Unknown;
            found = found || item == passport_id || same_text(item, passport_id);
        }
        return found ? Member::Yes : Member::No;
    }
    if (!PySet_CheckExact(source) && !PyFrozenSet_CheckExact(source)) return Member::Unknown;
    // A frozenset cannot change, so one that held only texts is known by
    // its identity afterwards (a reference is kept, so the identity cannot
    // be reused): a caller's ready frozenset costs one lookup. A set may
    // have changed since, so its elements are checked at every call.
    if (source != c.st->text_frozenset) {
        if (!internals::set_all_keys(source, [](PyObject* key) { return PyUnicode_CheckExact(key); }))
            return Member::Unknown;
        if (PyFrozenSet_CheckExact(source)) Py_XSETREF(c.st->text_frozenset, Py_NewRef(source));
    }
    return check(PySet_Contains(source, passport_id)) ? Member::Yes : Member::No;
}

// The payload's passport id when reading it runs no Python code and
// cannot fail: an exact dict with text keys only, holding an exact text
// or nothing under "passport_id". nullopt otherwise.
std::optional<Ref> plain_passport_id(const Call& c, PyObject* payload) {
    if (!PyDict_CheckExact(payload)) return std::nullopt;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(payload, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
    PyObject* raw = PyDict_GetItemWithError(payload, c.st->str_passport_id);  // borrowed
    if (raw == nullptr) {
        if (PyErr_Occurred()) throw_error();
        return borrow(c.st->empty_text);
    }
    if (PyUnicode_CheckExact(raw)) return borrow(raw);
    return std::nullopt;
}

// The inputs of the revocation check: the revoked ids (or their answer)
// and the passport id, read in the pipeline's order.
struct Revocation {
    bool absent = false;
    Member member = Member::Unknown;  // decided without the set
    std::optional<Ref> set;           // otherwise the set _revoked_ids built
    Ref passport_id;
};

Revocation revocation(const Call& c, PyObject* crl, PyObject* payload) {
    Revocation r;
    std::optional<Ref> plain_id;
    if (originals_in_place(c, Guard::RevokedIds)) {
        if (crl == Py_None) {
            r.absent = true;
        } else {
            Ref source = crl_source(c, crl);
            plain_id = plain_passport_id(c, payload);
            if (plain_id) r.member = text_member(c, source.get(), plain_id->get());
            if (r.member == Member::Unknown) r.set = revoked_set(c, source.get());
        }
    } else {
        Ref revoked_ids = c.global(c.st->g_revoked_ids);
        r.set = call(revoked_ids.get(), crl);
        r.absent = r.set->is(Py_None);
    }
    if (plain_id) {
        r.passport_id = std::move(*plain_id);
    } else {
        Ref raw = c.member(payload, c.st->str_passport_id);
        r.passport_id = truthy(raw.get()) ? str_of(raw.get()) : borrow(c.st->empty_text);
    }
    return r;
}

// --- Issuer key resolution ------------------------------------------------------

const Param kResolveKeyParams[] = {
    {"issuer_keys", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"kid", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_did", nullptr, ParamKind::PositionalOrKeyword, Default::Required},
};

Ref coerce(const Call& c, PyObject* value) {
    if (value == Py_None) return none();
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), value);
}

// `mapping.get(key)`, or None without a lookup when the key cannot be
// hashed. The kid and issuer DID come from the credential unsigned and may
// be any JSON value: a list or an object there means "no entry", never an
// error the credential could make the verifier raise.
Ref lookup_if_hashable(const Call& c, PyObject* mapping, PyObject* key) {
    if (PyObject_Hash(key) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        return none();
    }
    return c.member(mapping, key);
}

Ref resolve_key_impl(const Call& c, PyObject* const* args) {
    PyObject* issuer_keys = args[0];
    PyObject* kid = args[1];
    PyObject* issuer_did = args[2];
    if (issuer_keys == Py_None) return none();
    // Callable before mapping: a callable dict subclass is a resolver.
    if (PyCallable_Check(issuer_keys)) {
        Ref got = call(issuer_keys, kid, issuer_did);
        return coerce(c, got.get());
    }
    if (PyDict_Check(issuer_keys)) {
        Ref keep = borrow(issuer_keys);
        Ref got = lookup_if_hashable(c, issuer_keys, kid);
        if (got.is(Py_None) && issuer_did != Py_None) got = lookup_if_hashable(c, issuer_keys, issuer_did);
        return coerce(c, got.get());
    }
    Ref coerce_key = c.global(c.st->g_coerce_key);
    return call(coerce_key.get(), issuer_keys);
}

// The memo, when the verifier is the one it may stand for and all three
// inputs are exact byte strings; null otherwise.
SignatureMemo* memo_for(const Call& c, PyObject* falcon_verify, PyObject* pk, PyObject* msg, PyObject* sig) {
    if (falcon_verify != c.st->falcon_verify || falcon_verify == nullptr || !PyBytes_CheckExact(pk) ||
        !PyBytes_CheckExact(msg) || !PyBytes_CheckExact(sig) || !originals_in_place(c, Guard::FalconVerify))
        return nullptr;
    if (c.st->signature_memo == nullptr) c.st->signature_memo = new SignatureMemo();
    return c.st->signature_memo;
}

// pqcrypto's verify(pk, msg, sig) by its compiled check, where the memo may
// stand for the verifier (the verifier is the original, all three inputs
// exact byte strings) and the sizes are those the wrapper lets through:
// `0 == check(sig, len(sig), msg, len(msg), pk)`, computed with the GIL
// released as the wrapper's call does. nullopt when the wrapper is to be
// called, which is also the case while a profile or trace function watches
// the thread, so that such tools see the call they would see.
std::optional<bool> falcon_check(const Call& c, const SignatureMemo* memo, PyObject* pk, PyObject* msg,
                                 PyObject* sig) {
    const FalconEntry check = c.st->falcon_entry;
    if (memo == nullptr || check == nullptr || PyBytes_GET_SIZE(pk) != c.st->falcon_key_bytes ||
        PyBytes_GET_SIZE(sig) > c.st->falcon_max_sig_bytes)
        return std::nullopt;
    const PyThreadState* ts = PyThreadState_GetUnchecked();
    if (ts == nullptr || internals::thread_watched(ts)) return std::nullopt;
    const auto* s = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(sig));
    const auto* m = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(msg));
    const auto* k = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(pk));
    const auto slen = static_cast<size_t>(PyBytes_GET_SIZE(sig));
    const auto mlen = static_cast<size_t>(PyBytes_GET_SIZE(msg));
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = check(s, slen, m, mlen, k);
    Py_END_ALLOW_THREADS
    return rc == 0;
}

// --- Key ids -------------------------------------------------------------------

// `kid_for_key(pk)` as the module binds it. A trust store hands over the
// same key again and again; while kid_for_key is the module's own over the
// host's SHA-256 (a pure function of the bytes), the id of the last key is
// kept and reused for equal bytes.
Ref key_id(const Call& c, PyObject* pk) {
    const bool pure = PyBytes_CheckExact(pk) && originals_in_place(c, Guard::KidForKey);
    if (pure && c.st->kid_key != nullptr) {
        PyObject* last = c.st->kid_key;
        if (last == pk || (PyBytes_GET_SIZE(last) == PyBytes_GET_SIZE(pk) &&
                           std::memcmp(PyBytes_AS_STRING(last), PyBytes_AS_STRING(pk),
                                       static_cast<size_t>(PyBytes_GET_SIZE(pk))) == 0))
            return borrow(c.st->kid_text);
    }
    Ref kid_for_key = c.global(c.st->g_kid_for_key);
    Ref computed = call(kid_for_key.get(), pk);
    if (pure && PyUnicode_CheckExact(computed.get())) {
        Py_XSETREF(c.st->kid_key, Py_NewRef(pk));
        Py_XSETREF(c.st->kid_text, Py_NewRef(computed.get()));
    }
    return computed;
}

// --- The pipeline -------------------------------------------------------------
//
// Verification is an ordered list of checks (kChecks below). Each check
// returns a verdict, which ends verification, or nothing, and the next one
// runs; the first failure decides. A check that raises ends the call with
// its error: misuse of the arguments is the caller's error, not a verdict.

// The working values fixed once the credential is decoded; every failing
// verdict after that point carries them.
struct Working {
    Ref payload, kid, agent_did, scopes, issuer_did, expires_at, issued_at;
};

// What the checks read and what earlier checks leave for later ones.
struct Verification {
    const Call& c;
    PyObject* credential;
    PyObject* issuer_keys;
    PyObject* crl;
    PyObject* required_scope;
    PyObject* expected_agent_did;
    PyObject* require_revocation_check;
    Ref now;  // the verification time
    // The decoded passport (from check_envelope on): the record
    // decode_passport returned, or, where that record would only be read
    // back field by field, its fields themselves.
    Ref dec;
    std::optional<credential::DecodedValues> decoded;
    Working w;  // its working values (from check_payload on)
    Ref pk;   // the issuer key (from check_key_resolves on)
};

// A verdict, or nullopt: the next check runs.
using Verdict = std::optional<Ref>;

// A verdict carrying the working values. Without a code it is the success
// verdict, built without the two error fields so they keep their defaults.
Ref verdict(const Verification& v, PyObject* status, PyObject* code, PyObject* message) {
    const Call& c = v.c;
    const Working& w = v.w;
    Ref spend_limit = c.member(w.payload.get(), c.st->str_spend_limit_microusd);
    Ref spend_window = c.member(w.payload.get(), c.st->str_spend_window);
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {code != nullptr ? Py_False : Py_True,
                          status,            w.agent_did.get(),  w.scopes.get(),
                          spend_limit.get(), spend_window.get(), w.issuer_did.get(), w.kid.get(),
                          w.issued_at.get(), w.expires_at.get(), code,               message};
    return build_record(c, cls.get(), values, code != nullptr ? c.st->kw_verdict_fail : c.st->kw_verdict_ok);
}

Ref fail(const Verification& v, PyObject* status, PyObject* code, PyObject* message) {
    return verdict(v, status, code, message);
}

Ref fail(const Verification& v, PyObject* status, PyObject* code, const char* message) {
    Ref msg = text(message);
    return verdict(v, status, code, msg.get());
}

// The verdict for a credential refused before its working values are
// known: every identifying field stays at its record default.
Ref invalid_credential(const Call& c, PyObject* message) {
    Ref cls = c.global(c.st->g_PassportVerdict);
    PyObject* values[] = {Py_False, c.st->str_invalid, c.st->str_INVALID_CREDENTIAL, message};
    return build_record(c, cls.get(), values, c.st->kw_verdict_bad);
}

// `datetime.now(timezone.utc)` made here while the module's datetime and
// timezone are the host's own types: the system clock read as the host
// reads it (PyTime_Time), rounded down to the microsecond, broken down in
// UTC with a leap second held at 59, and given the UTC zone, as the host's
// now and the zone's fromutc build it. nullopt where the host is asked.
std::optional<Ref> native_now_utc(const Call& c) {
    if (!originals_in_place(c, Guard::Expiry)) return std::nullopt;
    PyTime_t ns = 0;
    if (PyTime_Time(&ns) < 0) throw_error();
    PyTime_t us = ns / 1000;
    if (ns % 1000 < 0) --us;
    std::time_t secs = static_cast<std::time_t>(us / 1000000);
    int micro = static_cast<int>(us % 1000000);
    if (micro < 0) micro += 1000000, --secs;
    std::tm tm{};
    if (gmtime_r(&secs, &tm) == nullptr) return std::nullopt;
    const PyDateTime_CAPI* api = c.st->datetime_api;
    return own(api->DateTime_FromDateAndTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                                             tm.tm_sec > 59 ? 59 : tm.tm_sec, micro, api->TimeZone_UTC,
                                             api->DateTimeType));
}

// `now` as given, or the current time in UTC when it is false.
Ref verification_time(const Call& c, PyObject* now) {
    if (truthy(now)) return borrow(now);
    if (std::optional<Ref> native = native_now_utc(c)) return std::move(*native);
    Ref datetime = c.global(c.st->g_datetime);
    Ref timezone = c.global(c.st->g_timezone);
    Ref utc = getattr(timezone.get(), c.st->str_utc);
    Ref now_fn = getattr(datetime.get(), c.st->str_now);
    return call(now_fn.get(), utc.get());
}

// `left != right`, by the host's rules.
bool differ(PyObject* left, PyObject* right) {
    Ref differs = own(PyObject_RichCompare(left, right, Py_NE));
    return truthy(differs.get());
}

// The credential decodes (through the module's decode_passport); its
// PassportError becomes the invalid verdict.
Verdict check_envelope(Verification& v) {
    const Call& c = v.c;
    if (originals_in_place(c, Guard::DecodeForVerify) && originals_in_place(c, Guard::DecodedRecord)) {
        // The module's own decode_passport and record: nobody but this
        // call would see the record, and reading its fields and
        // properties back runs nothing but the module's own code.
        credential::DecodedValues values;
        bool decoded = false;
        try {
            decoded = credential::decode_values(c, v.credential, values);
        } catch (const PyErrOccurred&) {
        }
        if (decoded) {
            v.decoded = std::move(values);
            return std::nullopt;
        }
    } else {
        Ref decode = c.global(c.st->g_decode_passport);
        v.dec = Ref::own_or_error(PyObject_Vectorcall(decode.get(), &v.credential, 1, nullptr));
        if (v.dec) return std::nullopt;
    }
    if (!error_is_passport_error(c)) throw_error();
    Ref err = take_error();
    Ref msg = str_of(err.get());
    return invalid_credential(c, msg.get());
}

// The working values can be read. A payload member of the wrong shape
// ("scopes": true is not iterable) is the credential's defect: a verdict,
// not an error.
Verdict check_payload(Verification& v) {
    const Call& c = v.c;
    Working& w = v.w;
    try {
        if (v.decoded) {
            // As the record's fields and properties give them.
            w.payload = v.decoded->payload.copy();
            w.kid = v.decoded->kid.copy();
            w.agent_did = records::agent_did_of(c, w.payload.get());
            w.scopes = records::scopes_of(c, w.payload.get());
            w.issuer_did = records::issuer_did_of(c, w.payload.get());
        } else {
            w.payload = getattr(v.dec.get(), c.st->str_payload);
            w.kid = getattr(v.dec.get(), c.st->str_kid);
            w.agent_did = getattr(v.dec.get(), c.st->str_agent_did);
            w.scopes = getattr(v.dec.get(), c.st->str_scopes);
            w.issuer_did = getattr(v.dec.get(), c.st->str_issuer_did);
        }
        w.expires_at = c.member(w.payload.get(), c.st->str_expires_at);
        w.issued_at = c.member(w.payload.get(), c.st->str_issued_at);
        return std::nullopt;
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
    }
    Ref err = take_error();
    Ref detail = str_of(err.get());
    Ref msg = own(PyUnicode_FromFormat("malformed credential payload: %U", detail.get()));
    return invalid_credential(c, msg.get());
}

// The alg is Falcon-1024; a missing or empty alg is checked as Falcon-1024
// all the same.
Verdict check_alg(Verification& v) {
    const Call& c = v.c;
    Ref alg = v.decoded ? v.decoded->alg.copy() : getattr(v.dec.get(), c.st->str_alg);
    if (!truthy(alg.get())) return std::nullopt;
    Ref expected = c.global(c.st->g_ALG);
    if (!differ(alg.get(), expected.get())) return std::nullopt;
    Ref shown = repr_of(alg.get());
    Ref msg = own(PyUnicode_FromFormat("unsupported alg %U", shown.get()));
    return fail(v, c.st->str_invalid, c.st->str_UNSUPPORTED_ALG, msg.get());
}

// An issuer key resolves (through the module's _resolve_key); its
// PassportError is the credential's defect, no key at all fails closed.
Verdict check_key_resolves(Verification& v) {
    const Call& c = v.c;
    try {
        Ref resolve = c.global(c.st->g_resolve_key);
        v.pk = call(resolve.get(), v.issuer_keys, v.w.kid.get(), v.w.issuer_did.get());
    } catch (const PyErrOccurred&) {
        if (!error_is_passport_error(c)) throw;
        Ref err = take_error();
        Ref msg = str_of(err.get());
        return fail(v, c.st->str_invalid, c.st->str_INVALID_CREDENTIAL, msg.get());
    }
    if (!v.pk.is(Py_None)) return std::nullopt;
    return fail(v, c.st->str_unverifiable, c.st->str_UNRESOLVED_ISSUER_KEY,
                "no issuer key available to verify the signature");
}

// The key has the size of a Falcon-1024 public key.
Verdict check_key_size(Verification& v) {
    const Call& c = v.c;
    const Py_ssize_t n = check_size(PyObject_Length(v.pk.get()));
    Ref length = own(PyLong_FromSsize_t(n));
    Ref expected = c.global(c.st->g_FALCON_1024_PUBLIC_KEY_BYTES);
    if (!differ(length.get(), expected.get())) return std::nullopt;
    Ref expected_text = str_of(expected.get());
    Ref msg = own(PyUnicode_FromFormat("issuer key is %zd bytes, expected %U", n, expected_text.get()));
    return fail(v, c.st->str_invalid, c.st->str_BAD_ISSUER_KEY, msg.get());
}

// The key is the one the credential's kid names. Without a kid any key of
// the right size goes on to the signature check, which then decides alone.
Verdict check_kid(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.w.kid.get())) return std::nullopt;
    Ref computed = key_id(c, v.pk.get());
    if (!differ(computed.get(), v.w.kid.get())) return std::nullopt;
    return fail(v, c.st->str_invalid, c.st->str_KID_KEY_MISMATCH, "resolved key does not match the credential kid");
}

// The Falcon-1024 signature over the signed bytes verifies.
Verdict check_signature(Verification& v) {
    const Call& c = v.c;
    Ref falcon_verify;
    {
        Ref load_crypto = c.global(c.st->g_load_crypto);
        Ref pair = call(load_crypto.get());
        falcon_verify = own(PySequence_GetItem(pair.get(), 1));
    }
    // A verifier may report a bad signature by returning false or by
    // raising; both are a tampered signature. Interrupts still propagate.
    bool sig_ok = false;
    try {
        Ref signed_bytes = v.decoded ? v.decoded->signed_bytes.copy() : getattr(v.dec.get(), c.st->str_signed_bytes);
        Ref sig = v.decoded ? v.decoded->sig.copy() : getattr(v.dec.get(), c.st->str_sig);
        PyObject* pk = v.pk.get();
        SignatureMemo* memo = memo_for(c, falcon_verify.get(), pk, signed_bytes.get(), sig.get());
        std::optional<SignatureMemo::Key> key;
        if (memo != nullptr) key.emplace(pk, signed_bytes.get(), sig.get());
        if (memo != nullptr && memo->contains(*key)) {
            sig_ok = true;
        } else if (std::optional<bool> checked = falcon_check(c, memo, pk, signed_bytes.get(), sig.get())) {
            sig_ok = *checked;
            if (sig_ok) memo->add(*key);
        } else {
            Ref result = call(falcon_verify.get(), pk, signed_bytes.get(), sig.get());
            sig_ok = truthy(result.get());
            // Only the verifier's own True is remembered.
            if (memo != nullptr && result.is(Py_True)) memo->add(*key);
        }
    } catch (const PyErrOccurred&) {
        if (!error_is_exception()) throw;
        PyErr_Clear();
        sig_ok = false;
    }
    if (sig_ok) return std::nullopt;
    return fail(v, c.st->str_invalid, c.st->str_TAMPERED_SIGNATURE, "signature verification failed");
}

// The credential has not expired (through the module's _is_expired).
Verdict check_expiry(Verification& v) {
    const Call& c = v.c;
    Ref is_expired = c.global(c.st->g_is_expired);
    Ref expired = call(is_expired.get(), v.w.expires_at.get(), v.now.get());
    if (!truthy(expired.get())) return std::nullopt;
    return fail(v, c.st->str_expired, c.st->str_EXPIRED, "credential has expired");
}

// The credential is not revoked. Revocation is looked at only for a
// genuine, unexpired credential, so an unusable crl is raised only then.
Verdict check_revocation(Verification& v) {
    const Call& c = v.c;
    Revocation revoked = revocation(c, v.crl, v.w.payload.get());
    PyObject* passport_id = revoked.passport_id.get();
    if (revoked.absent) {
        if (!truthy(v.require_revocation_check)) return std::nullopt;
        return fail(v, c.st->str_unverifiable, c.st->str_REVOCATION_CHECK_FAILED,
                    "could not confirm revocation status");
    }
    if (PyUnicode_Check(passport_id) && PyUnicode_GET_LENGTH(passport_id) == 0) {
        if (!truthy(v.require_revocation_check)) return std::nullopt;
        return fail(v, c.st->str_unverifiable, c.st->str_REVOCATION_ID_MISSING,
                    "credential has no passport_id to check against the CRL");
    }
    const bool is_revoked = revoked.member != Member::Unknown
                                ? revoked.member == Member::Yes
                                : check(PySequence_Contains(revoked.set->get(), passport_id)) != 0;
    if (!is_revoked) return std::nullopt;
    return fail(v, c.st->str_revoked, c.st->str_REVOKED, "credential has been revoked");
}

// The agent is the one the caller expects, when it expects one. The
// credential itself is sound: the status stays "active".
Verdict check_agent(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.expected_agent_did) || !differ(v.expected_agent_did, v.w.agent_did.get())) return std::nullopt;
    return fail(v, c.st->str_active, c.st->str_AGENT_MISMATCH, "agent_did does not match expected");
}

// The scope the caller requires is granted, when it requires one.
Verdict check_scope(Verification& v) {
    const Call& c = v.c;
    if (!truthy(v.required_scope) || check(PySequence_Contains(v.w.scopes.get(), v.required_scope)))
        return std::nullopt;
    Ref shown = repr_of(v.required_scope);
    Ref msg = own(PyUnicode_FromFormat("scope %U not granted", shown.get()));
    return fail(v, c.st->str_active, c.st->str_SCOPE_NOT_GRANTED, msg.get());
}

// The checks in their order, which is part of the contract: the first
// failure decides the verdict, so reordering changes outcomes.
constexpr Verdict (*kChecks[])(Verification&) = {
    check_envelope,  check_payload, check_alg,        check_key_resolves, check_key_size,
    check_kid,       check_signature, check_expiry,   check_revocation,   check_agent,
    check_scope,
};

constexpr const char kVerifyPassportDoc[] =
    "Verify a passport OFFLINE and return a :class:`PassportVerdict`.\n"
    "\n"
    "No network or file I/O takes place: pass the issuer's key(s) as\n"
    "``issuer_keys`` (a ``{kid: key}`` mapping such as the one\n"
    ":func:`resolve_keys_from_wellknown` returns, with the issuer DID as a\n"
    "fallback key, a single pinned key as bytes or base64 text, or a resolver\n"
    "``resolver(kid, issuer_did)``) and the revocation list as ``crl`` (the\n"
    "document :func:`fetch_crl` returns, or an iterable of revoked ids).\n"
    "\n"
    "Checks run in a fixed order and the first failure decides: the envelope,\n"
    "the algorithm, the issuer key (present, 1793 bytes, matching the kid), the\n"
    "Falcon-1024 signature over the RFC 8785 payload bytes, the expiry, the\n"
    "revocation list, then the caller's ``expected_agent_did`` and\n"
    "``required_scope``.\n"
    "\n"
    "Fails closed: a credential for which no key resolves, or whose revocation\n"
    "status cannot be confirmed while ``require_revocation_check`` is true, is\n"
    "\"unverifiable\"; a missing or unreadable expiry counts as expired. The\n"
    "verdict is true only when ``verified`` is; a failed agent or scope check\n"
    "keeps the status \"active\" with ``verified`` False.\n"
    "\n"
    "``now`` is the verification time, a timezone-aware datetime (UTC by\n"
    "default). Misuse of the arguments (a naive ``now``, an unusable ``crl``)\n"
    "raises instead of returning a verdict.";

const Param kVerifyPassportParams[] = {
    {"credential", "str", ParamKind::PositionalOrKeyword, Default::Required},
    {"issuer_keys", nullptr, ParamKind::KeywordOnly, Default::None},
    {"crl", nullptr, ParamKind::KeywordOnly, Default::None},
    {"required_scope", "str | None", ParamKind::KeywordOnly, Default::None},
    {"expected_agent_did", "str | None", ParamKind::KeywordOnly, Default::None},
    {"require_revocation_check", "bool", ParamKind::KeywordOnly, Default::True},
    {"now", "datetime | None", ParamKind::KeywordOnly, Default::None},
};

Ref verify_passport_impl(const Call& c, PyObject* const* args) {
    Verification v{c, args[0], args[1], args[2], args[3], args[4], args[5]};
    v.now = verification_time(c, args[6]);
    for (auto check : kChecks)
        if (Verdict decided = check(v)) return std::move(*decided);
    return verdict(v, c.st->str_active, nullptr, nullptr);
}

}  // namespace

const FunctionDef is_expired = {
    "_is_expired", "_is_expired", kIsExpiredParams, "bool", nullptr, is_expired_impl,
};
const FunctionDef revoked_ids = {
    "_revoked_ids", "_revoked_ids", kRevokedIdsParams, "set[str] | None", kRevokedIdsDoc, revoked_ids_impl,
};
const FunctionDef resolve_key = {
    "_resolve_key", "_resolve_key", kResolveKeyParams, "bytes | None", nullptr, resolve_key_impl,
};
const FunctionDef verify_passport = {
    "verify_passport", "verify_passport", kVerifyPassportParams, "PassportVerdict", kVerifyPassportDoc,
    verify_passport_impl,
};

}  // namespace qt::verify
