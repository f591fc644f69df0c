#pragma once

#include <array>
#include <cstddef>

// The content of the game's connection file. Opaque to the launcher: it is only written and compared.
inline constexpr std::size_t kConnectBlockSize = 178;
extern const std::array<unsigned char, kConnectBlockSize> kConnectBlock;

// The build carries the stand-in block of the tests and the demo, which the game cannot use, instead of the
// operator's.
extern const bool kConnectBlockIsStandIn;
