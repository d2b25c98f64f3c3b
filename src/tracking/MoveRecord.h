#pragma once
// The movement record of a judged point: the figures now, marked with the judgement's
// action, into the queue of its kind. The tracker decides nothing here; it hands over what its
// detector judged.
#include "ranking/Meigara.h"

class CTrkg;
struct CTrkgContext;

// Builds the record of kind `kind` ('A' or 'D') with `action` from the tracker's figures, in a
// record the queue's watcher handed back when there is one, and holds or pushes it as the
// context says, or folds it into the tracker. Without a queue of that kind the record goes
// nowhere.
void PostMoveRecord(CTrkg& tracker, char kind, char action, CTrkgContext& ctx);
