// The alert sound where the program is built without Qt Multimedia: there is none, and the
// settings that ask for it are told so once.
#include <cstdio>

#include "ui/Alerts.h"

std::unique_ptr<QObject> MakeAlertSound(CSoundAlertRule, const std::string&, IDialogs&,
                                        std::function<void(const std::string&)>, QMainWindow&,
                                        std::function<void(const MoveEvent&)>&) {
    std::fprintf(stderr, "kestrel: this build has no sound: [ALERT] sound=1 plays nothing\n");
    return nullptr;
}
