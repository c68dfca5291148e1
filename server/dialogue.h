// The console dialogue: the operator types the number of human players, the
// number of CPU players and the map number, each answered with an integer.
//
// Well-formed answers give exactly the console output of the match. An answer
// that is not an integer, a negative count, or counts adding up to more than
// MAX_PLAYERS are refused with a short message and the same question again;
// any 32-bit integer is taken as the map number.
#pragma once

#include "match/match.h"

// Asks the three questions and stores the answers into match. Returns false
// when the input ends before the last answer.
bool run_dialogue(Match& match);
