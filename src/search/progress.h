// The progress line of a long find walk: on a terminal only, one line on standard error that is rewritten in
// place ("N of M messages looked at, K matching") and cleared before any other output.
#pragma once

#include <cstddef>

namespace maildig {

// Starts a walk over total messages. The line appears only when standard error is a terminal, verbose is
// off and the walk has lasted about a second; before that, and everywhere else, nothing is written.
void progressStart(std::size_t total, bool verbose);

// Counts one match and clears the line, so that the UID written next starts at the left margin.
void progressMatch();

// lookedAt messages have been judged; redraws the line (at most ten times a second).
void progressLookedAt(std::size_t lookedAt);

// Erases the line when one is shown (the walk does so before it returns).
void progressClear();

} // namespace maildig
