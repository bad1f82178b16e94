// The binding to the C library's iconv used by the charset conversions: opening descriptors by charset
// name, converting whole strings, and a process-wide switch that leaves only the built-in converters.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace maildig {

// A conversion descriptor; kNoIconv stands for none.
using TIconvDescriptor = iconv_t;
inline const TIconvDescriptor kNoIconv = reinterpret_cast<iconv_t>(-1);

// True when iconv may be used (it is part of the C library; false only while disabled).
bool LoadIconv();
// Marks iconv as no longer loaded; the next LoadIconv makes it usable again.
void UnloadIconv();

// With disabled set, LoadIconv answers false and every conversion uses the built-in converters alone.
// Meant for tests that run both converter paths on the same input.
void SetIconvDisabled(bool disabled);
bool IconvDisabled();

// Descriptor converting from fromcode to tocode (names may carry "//IGNORE" or "//TRANSLIT" suffixes), or
// kNoIconv when iconv is unusable or does not know a name.
TIconvDescriptor IconvOpen(const std::string& tocode, const std::string& fromcode);

// Converts the whole input with the descriptor into output (replacing its content). The output grows as
// needed, so nothing is lost to a short buffer; input the converter refuses is skipped inputUnit bytes at a
// time and an incomplete sequence at the end is dropped. Open descriptors without "//IGNORE": the C
// library's ignore mode misreports what it consumed for some stateful charsets (it reads past the end of
// the input), so invalid input is skipped here instead. False, with an empty output, without a descriptor,
// without iconv, or when the library reports taking more input or giving more output than exists; the
// caller then converts without iconv.
bool IconvConvert(TIconvDescriptor descriptor, std::string_view input, std::string& output,
                  std::size_t inputUnit = 1);

// Closes the descriptor (nothing for kNoIconv) and sets it to kNoIconv.
void IconvClose(TIconvDescriptor& descriptor);

} // namespace maildig
