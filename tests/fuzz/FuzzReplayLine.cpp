// Any recorded quote line: reading it names a tracker of the list or none, and a tracker fed
// the line stores it or refuses its time, never anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/CommaText.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"
#include "settings/Ini.h"
#include "tracking/Replay.h"
#include "tracking/Trkg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CIni ini{"/nonexistent/KESTREL.INI"};
    static bool initDone = true;
    std::string line(reinterpret_cast<const char*>(data), size);
    CReplayData replay;
    replay.ReplayLines.push_back(line);
    CMeigaraQueue qa{'A'}, qd{'D'};
    CTrkgContext ctx;
    ctx.Rule = {ini.GetRate(), ini.GetSpan()};
    ctx.Replaying = ini.IsDebug();
    ctx.InitDone = &initDone;
    ctx.Replay = &replay;
    ctx.QueueA = &qa;
    ctx.QueueD = &qd;
    CTrkgList list({"1301", "", "13", "72030"}, ctx);
    CReplayPoint point;
    ReadReplayPoint(0, replay.ReplayLines[0], &list, point);
    if (point.Line != 0 || point.Tracker < -1 || point.Tracker >= list.Count()) std::abort();
    // However the line is split, it reads as the comma-text rules read it.
    std::vector<std::string_view> cols;
    std::string scratch;
    kestrel::SplitCommaText(replay.ReplayLines[0], cols, scratch);
    auto col = [&](size_t i) { return i < cols.size() ? cols[i] : std::string_view(); };
    const auto ms = kestrel::ParseTimeMs(col(0));
    if (point.Tracker != (cols.size() >= 2 ? list.IndexOfIssue(cols[1]) : -1) ||
        point.Price != kestrel::ParseIntOr0(col(2)) ||
        point.Volume != kestrel::ParseIntOr0(col(3)) ||
        point.TimeMs != (ms ? static_cast<int32_t>(*ms) : CReplayPoint::kBadTime))
        std::abort();
    if (point.Tracker < 0) return 0;
    try {
        list.Items(point.Tracker)->OnVolumeChange(nullptr);
    } catch (const kestrel::TimeFormatError&) {
        if (point.TimeMs != CReplayPoint::kBadTime ||
            list.Items(point.Tracker)->Detector.PointCount != 0)
            std::abort();
        return 0;
    }
    if (list.Items(point.Tracker)->Detector.PointCount != 1 || qa.Count() != 1 || qd.Count() != 1)
        std::abort();
    return 0;
}
