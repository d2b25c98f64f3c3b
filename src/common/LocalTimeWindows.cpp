#include "common/LocalTime.h"

namespace kestrel {

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

}  // namespace kestrel
