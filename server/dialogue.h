// The console dialogue: the operator types the number of human players, the
// number of CPU players and the map number, each answered with an integer.
//
// Well-formed answers give exactly the console output of the match. An answer
// that is not an integer, a negative count, or counts adding up to more than
// MAX_PLAYERS are refused with a short message and the same question again;
// any 32-bit integer is taken as the map number.
#pragma once

#include "match/match.h"
#include "server/options.h"

// Asks the three questions, but for those the operator answered with an
// option, and stores the answers into match. Returns false when the input
// ends before the last answer. REQUIRES: the options' answers are valid.
bool run_dialogue(Match& match, const Options& options);
