// How an action ended: code 0 for success, otherwise the exit code of the failure and the text its message
// takes. Only the driver turns an outcome into the end of the process.
#pragma once

#include <string>
#include <utility>

namespace maildig {

struct TOutcome {
    TOutcome() = default;
    TOutcome(int code, std::string text = {}) : Code(code), Text(std::move(text)) {}

    bool Ok() const { return Code == 0; }

    int Code = 0;
    std::string Text;
};

} // namespace maildig
