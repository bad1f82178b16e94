// The list-of-lines type shared by the POP3 client, the MIME code and the search layer.
// One entry per line, without its line terminator.
#pragma once

#include <string>
#include <vector>

namespace maildig {

using Lines = std::vector<std::string>;

} // namespace maildig
