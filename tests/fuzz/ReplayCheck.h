// What a failed FUZZ_CHECK throws in the replay build. It derives from std::logic_error, not
// std::runtime_error, so a target that catches a product's runtime errors never swallows it.
#pragma once

#include <stdexcept>

#include "FuzzCheck.h"

namespace fuzz {

class CheckFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace fuzz
