#include "common/LocalTime.h"

namespace kestrel {

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace kestrel
