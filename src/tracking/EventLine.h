#pragma once
// The event line of a move, the one text the event viewer, stdout and the study's files show:
// "10:01 1234.T:1100,(100),9.09% 1700[A,A]", the time, the topic, then price, move, ratio and
// limit, then the record's kind and action. Nothing reads it back: whoever acts on a move reads
// the MoveEvent itself.
#include <string>

#include "tracking/MoveEvent.h"

// Appends the line of `e` to `out` (no line end).
void WriteEventLine(std::string& out, const MoveEvent& e);
std::string EventLineText(const MoveEvent& e);
