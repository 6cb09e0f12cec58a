// The inputs of verification besides the issuer key: the expiry stamp, the
// verification time and the revoked ids.
#include "inputs.hpp"

#include "guard.hpp"
#include "internals.hpp"
#include "records.hpp"

#include <cstring>
#include <ctime>
#include <optional>

namespace qt::inputs {

namespace {

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

// --- The verification time ----------------------------------------------------

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

}  // namespace

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
        Ref bound = c.global(c.st->g_revoked_ids);
        r.set = call(bound.get(), crl);
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

const FunctionDef is_expired = {
    "_is_expired", "_is_expired", kIsExpiredParams, "bool", nullptr, is_expired_impl,
};
const FunctionDef revoked_ids = {
    "_revoked_ids", "_revoked_ids", kRevokedIdsParams, "set[str] | None", kRevokedIdsDoc, revoked_ids_impl,
};

}  // namespace qt::inputs
