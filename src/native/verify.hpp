// Offline verification: verify_passport and its pipeline of ordered checks.
#pragma once
#include "function.hpp"

namespace qt::verify {

extern const FunctionDef verify_passport;

}  // namespace qt::verify
