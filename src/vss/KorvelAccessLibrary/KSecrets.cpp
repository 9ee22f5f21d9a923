#include "KorvelAccessLibrary.h"

namespace Korvel {

std::string MaskSecret(const std::string& secret) {
    // Short keys would give away too large a share of themselves.
    if (secret.size() <= 8) return std::string(secret.size(), '*');
    return std::string(secret.size() - 4, '*') + secret.substr(secret.size() - 4);
}

}  // namespace Korvel
