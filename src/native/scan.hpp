// Finding, in a run of bytes, the first one that text readers and writers
// must stop at: a quotation mark, a backslash, a control character (below
// 0x20), and, when asked, any byte outside ASCII.
#pragma once

// The AVX2 paths are compiled only where the target architecture has the
// instructions (x86); elsewhere the portable loops, which give the same
// results, are the only ones.
#if defined(__x86_64__) || defined(__i386__)
#define QT_X86_VECTORS 1
#else
#define QT_X86_VECTORS 0
#endif

namespace qt::scan {

// Whether the processor runs the AVX2 (and BMI) code paths of the module:
// never on other architectures, nor when QUORVEL_TRELLANE_PORTABLE is set
// to anything but "" or "0" (so the portable loops can be tested on a
// processor that has AVX2). Decided once per process.
bool have_avx2();

// The first such byte in [p, end), or end when there is none.
const unsigned char* special(const unsigned char* p, const unsigned char* end, bool ascii_only);

}  // namespace qt::scan
