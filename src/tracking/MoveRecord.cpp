#include "tracking/MoveRecord.h"

#include <memory>

#include "tracking/Trkg.h"

void PostMoveRecord(CTrkg& tracker, char kind, char action, CTrkgContext& ctx) {
    CMeigaraQueue* q = kind == 'A' ? ctx.QueueA : ctx.QueueD;
    if (!q) return;
    if (ctx.FoldRecords) {
        tracker.FoldRecord(kind, action, ctx.FoldSeq++);
        return;
    }
    // A record the watcher has handed back, or a new one. Every field is set here, so a reused
    // record keeps nothing of its last use (and its texts keep their buffers).
    std::unique_ptr<CMeigara> m = q->TakeSpare();
    if (!m) m = std::make_unique<CMeigara>();
    tracker.FillRecord(*m);
    m->Action = action;
    if (ctx.HoldRecords)
        q->Hold(std::move(m));
    else
        q->Push(std::move(m));
}
