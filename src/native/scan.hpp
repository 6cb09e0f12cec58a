// Finding, in a run of bytes, the first one that text readers and writers
// must stop at: a quotation mark, a backslash, a control character (below
// 0x20), and, when asked, any byte outside ASCII.
#pragma once

namespace qt::scan {

// Whether the processor runs the AVX2 (and BMI) code paths of the module.
bool have_avx2();

// The first such byte in [p, end), or end when there is none.
const unsigned char* special(const unsigned char* p, const unsigned char* end, bool ascii_only);

}  // namespace qt::scan
