#pragma once

#include <string>

namespace velmora::relay {

// 128 random bits from OpenSSL's RAND_bytes as 32 lower-case hex digits, for what nobody may
// guess: photo addresses, sign-in codes, script nonces. Throws std::runtime_error when no random
// bytes can be had. Any thread.
std::string randomHexId();

}  // namespace velmora::relay
