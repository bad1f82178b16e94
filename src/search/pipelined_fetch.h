// The TOP walk with several commands in flight, for servers that list PIPELINING: the replies are still
// handled one at a time and strictly in listing order, so what the caller sees is the sequential walk.
#pragma once

#include <cstddef>
#include <functional>

#include "mime/basic/lines.h"
#include "pop3/pop3_send.h"

// Most TOP commands in flight at once, and the reply bytes they may stand for together (each reply is
// estimated from the line count asked for); the window is the smaller of the two limits, at least 1.
inline constexpr std::size_t kPipelineMaxCommands = 64;
inline constexpr long long kPipelineByteBudget = 2 * 1024 * 1024;

// Number of TOP commands kept in flight for a walk that asks for `lines` body lines per message.
std::size_t pipelineWindow(int lines);

// For each message number in order: announce(i), then judge(i, reply lines of "TOP number lines") — exactly
// the calls the sequential walk makes, with the same reply lines (an "-ERR" reply gives none; a connection
// lost on the way gives what arrived, then empty replies). judge returning false ends the walk.
void pipelinedTopWalk(TPOP3Send& pop, const Lines& numbers, int lines,
                      const std::function<void(std::size_t)>& announce,
                      const std::function<bool(std::size_t, const Lines&)>& judge);
