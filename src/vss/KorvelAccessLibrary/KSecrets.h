// Keeps secrets out of the logs.
#pragma once

#include <string>

namespace Korvel {

// The text to log in place of an access key: every character replaced by '*'
// except the last four; all of them when the key has 8 characters or fewer.
std::string MaskSecret(const std::string& secret);

}  // namespace Korvel
