// Whether an HTML text names its own content type in a meta element, in which case its bytes are left in
// the charset the element declares instead of being converted from the part's charset.
#pragma once

#include <string_view>

namespace maildig {

// True when the text holds "http-equiv=content-type" (any case, quotes and blanks ignored): in the head when
// there is a closing head tag, else within the first 2048 characters.
bool DeclaresContentType(std::string_view text);

} // namespace maildig
