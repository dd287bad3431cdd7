// The string type of every name and message in the system.
#pragma once

#include <string>

namespace Vorl {

using String = std::string;

}  // namespace Vorl
