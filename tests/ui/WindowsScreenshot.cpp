// Not a test: shows the monitor's windows with sample figures for a few seconds, so that a
// screen grab under Xvfb (import -window root) can be looked at by eye.
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QTimer>

#include "app/Interaction.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/FakeClock.h"
#include "support/ScriptedDialogs.h"
#include "ui/D_init.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/debug.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int ms = argc > 1 ? std::atoi(argv[1]) : 4000;
    CScriptedDialogs dialogs;
    kestrel::test::CFakeClock clock{10 * 3'600'000LL, {2026, 12, 8}};
    CIni ini("/nonexistent/KESTREL.INI");
    ini.Load();
    CMeigaraList list('A');
    struct Sample {
        const char* code;
        const char* name;
        const char* margin;
        int prev, price, gap;
        double open, day;
        int limit;
        int minute;
    };
    const Sample samples[] = {
        {"7203", "トヨタ自動車", "貸借", 2450, 2530, 30, 1.96, 3.27, 2950, 601},
        {"6758", "ソニーグループ", "", 3120, 3080, -15, -0.84, -1.28, 3820, 600},
        {"9984", "ソフトバンクＧ", "貸借", 8900, 8900, 0, 0.004, 0.0, 10400, 598},
        {"4755", "楽天グループ", "信用", 780, 812, 4, 3.57, 4.10, 930, 597},
    };
    for (const Sample& s : samples) {
        auto m = std::make_unique<CMeigara>(s.code, 'A');
        m->Name = s.name;
        m->MarginClass = s.margin;
        m->PrevClose = s.prev;
        m->Price = s.price;
        m->Gap = s.gap;
        m->OpenRatio = s.open;
        m->DayRatio = s.day;
        m->LimitHigh = s.limit;
        m->LimitGap = s.limit - s.price;
        m->Time = s.minute / 1440.0;
        list.Add(std::move(m));
    }
    TF_MainDeps deps;
    deps.Dialogs = &dialogs;
    deps.Clock = &clock;
    deps.List = &list;
    deps.Ini = &ini;
    TF_Main main(deps);
    TF_DEBUG viewer(dialogs, clock);
    TF_Kestrel2005_Init splash;
    main.show();
    main.setEnabled(true);
    main.DispTimerTimer();
    main.SetStatusText("【10:01:05,7203,2530】");
    viewer.AppendLine("10:01 7203.T トヨタ自動車 急騰 +2.04% (2,480→2,530)");
    viewer.AppendLine("09:57 4755.T 楽天グループ 急騰 +2.52%");
    viewer.show();
    viewer.move(880, 380);
    if (argc > 2) splash.ShowCentred(&main);
    QTimer::singleShot(ms, &app, [] { QCoreApplication::exit(0); });
    return app.exec();
}
