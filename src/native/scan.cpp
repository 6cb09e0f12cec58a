#include "scan.hpp"

#if QT_X86_VECTORS
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qt::scan {

namespace {

// Whether the eight bytes at p hold no byte to stop at (the word tests
// have no false negatives).
bool plain_word(const unsigned char* p, bool ascii_only) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const std::uint64_t quote = w ^ (ones * '"');
    const std::uint64_t backslash = w ^ (ones * '\\');
    const std::uint64_t stop =
        ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w) | (ascii_only ? w : 0);
    return (stop & highs) == 0;
}

bool is_special(unsigned char ch, bool ascii_only) {
    return ch == '"' || ch == '\\' || ch < 0x20 || (ascii_only && ch >= 0x80);
}

#if QT_X86_VECTORS
#define QT_AVX2 __attribute__((target("avx2,bmi")))

// Thirty-two bytes at a time: the first byte to stop at within the whole
// blocks of [p, end), or where the whole blocks end when there is none.
QT_AVX2 const unsigned char* special_avx2(const unsigned char* p, const unsigned char* end, bool ascii_only) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i below_space = _mm256_set1_epi8(0x1f);
    for (; end - p >= 32; p += 32) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i control = _mm256_cmpeq_epi8(_mm256_max_epu8(c, below_space), below_space);
        const __m256i stop =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(c, quote), _mm256_cmpeq_epi8(c, backslash)), control);
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(stop));
        if (ascii_only) mask |= static_cast<std::uint32_t>(_mm256_movemask_epi8(c));
        if (mask != 0) return p + _tzcnt_u32(mask);
    }
    return p;
}

bool portable_requested() {
    const char* value = std::getenv("QUORVEL_TRELLANE_PORTABLE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}
#endif

}  // namespace

bool have_avx2() {
#if QT_X86_VECTORS
    static const bool yes = !portable_requested() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
    return yes;
#else
    return false;
#endif
}

const unsigned char* special(const unsigned char* p, const unsigned char* end, bool ascii_only) {
#if QT_X86_VECTORS
    if (end - p >= 32 && have_avx2()) {
        p = special_avx2(p, end, ascii_only);
        if (end - p >= 32) return p;  // stopped inside a block
    }
#endif
    while (end - p >= 8 && plain_word(p, ascii_only)) p += 8;
    while (p < end && !is_special(*p, ascii_only)) ++p;
    return p;
}

}  // namespace qt::scan
