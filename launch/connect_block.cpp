#include "launch/connect_block.h"

// The bytes come from the build (cmake/LauncherConfig.cmake): the operator's block file, or the stand-in that
// tests and the demo use.
const std::array<unsigned char, kConnectBlockSize> kConnectBlock = {
#include "connect_block_bytes.inc"
};

const bool kConnectBlockIsStandIn =
#include "connect_block_standin.inc"
    ;
