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
// The host reads the stamp with datetime.strptime under "%Y-%m-%dT%H:%M:%SZ",
// whose pattern also takes one-digit fields, a space-padded day, lower-case
// separators and any Unicode decimal digit. Stamps are written in one form,
// though: exactly YYYY-MM-DDTHH:MM:SSZ in ASCII digits. While the expiry
// guard holds (the module's datetime, timezone and _TS_FMT, and the
// _strptime functions behind strptime, are the ones of import), a stamp in
// that form naming a real instant is read here; every other text, and every
// out-of-range field (the host's error to give), goes to strptime itself.

struct Stamp {
    int year, month, day, hour, minute, second;
};

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// The stamp's fields when the text is exactly YYYY-MM-DDTHH:MM:SSZ in
// ASCII and names a real instant (strptime would read the same); nullopt
// for anything else.
std::optional<Stamp> common_stamp(PyObject* text) {
    constexpr char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    constexpr Py_ssize_t kLength = sizeof kForm - 1;
    if (!PyUnicode_IS_ASCII(text) || PyUnicode_GET_LENGTH(text) != kLength) return std::nullopt;
    const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0; i < kLength; ++i) {
        const bool digit = p[i] >= '0' && p[i] <= '9';
        if (kForm[i] == 'd' ? !digit : p[i] != static_cast<unsigned char>(kForm[i])) return std::nullopt;
    }
    auto number = [p](int at, int digits) {
        int v = 0;
        for (int i = 0; i < digits; ++i) v = v * 10 + (p[at + i] - '0');
        return v;
    };
    const Stamp st{number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2)};
    if (st.year < 1 || st.month < 1 || st.month > 12 || st.day < 1 || st.day > days_in_month(st.year, st.month) ||
        st.hour > 23 || st.minute > 59 || st.second > 59)
        return std::nullopt;
    return st;
}

// The stamp as an aware UTC datetime, read natively; nullopt when the host
// must read it (the guard fails, or the text is not in the common form).
std::optional<Ref> native_expiry(const Call& c, PyObject* expires_at) {
    if (!PyUnicode_Check(expires_at) || !originals_in_place(c, Guard::Expiry)) return std::nullopt;
    const std::optional<Stamp> st = common_stamp(expires_at);
    if (!st) return std::nullopt;
    const PyDateTime_CAPI* api = c.st->datetime_api;  // set whenever the guard holds
    return own(api->DateTime_FromDateAndTime(st->year, st->month, st->day, st->hour, st->minute, st->second, 0,
                                             api->TimeZone_UTC, api->DateTimeType));
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
    if (std::optional<Ref> instant = native_expiry(c, expires_at))
        return own(PyObject_RichCompare(now, instant->get(), Py_GE));
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
    "of ids. Every id is compared as text. Anything that cannot be iterated,\n"
    "and text, bytes or bytearray given as the collection (at top level or\n"
    "under 'revoked'), raises :class:`PassportError`.";

const Param kRevokedIdsParams[] = {{"crl", nullptr, ParamKind::PositionalOrKeyword, Default::Required}};

constexpr const char kUnusableCrl[] = "crl must be a mapping with 'revoked', a list, or None";

// What a dict crl stands for: its "revoked" member, a new empty list when
// missing. A dict subclass answers through its own get.
Ref crl_source(const Call& c, PyObject* crl) {
    if (!PyDict_Check(crl)) return borrow(crl);
    Ref empty = own(PyList_New(0));
    return c.member(crl, c.st->str_revoked, empty.get());
}

// Text, bytes and bytearray iterate, but over characters and byte values:
// a single id given as text would be read as a set of one-letter ids, and
// the passport it names would come out active. They are refused as a value
// that cannot be iterated is, a TypeError as the cause.
[[noreturn]] void refuse_text_collection(const Call& c, PyObject* source) {
    PyErr_Format(PyExc_TypeError, "a collection of revoked ids is not %s", Py_TYPE(source)->tp_name);
    Ref err = take_error();
    raise_passport_error(c, kUnusableCrl, err.get());
}

bool is_text_like(PyObject* value) {
    return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value);
}

// The set of revoked ids built from the collection: exact texts as they
// are, anything else by its text form.
Ref revoked_set(const Call& c, PyObject* source) {
    if (is_text_like(source)) refuse_text_collection(c, source);
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
