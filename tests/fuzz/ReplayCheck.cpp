// The replay build's answer to a failed fuzz check: an exception the driver turns into a test
// failure naming the target and the input, instead of libFuzzer's abort.
#include "ReplayCheck.h"

#include <string>

namespace fuzz {

void CheckFailed(const char* condition, const char* file, int line) {
    throw CheckFailure(std::string(condition) + " (" + file + ":" + std::to_string(line) + ")");
}

}  // namespace fuzz
