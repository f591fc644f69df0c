#pragma once

#include <cstdint>
#include <string>

// One game region as the directory lists it.
struct RegionInfo {
    std::wstring displayName;  // text of its button
    std::wstring host;         // its authorisation service, handed to the resolver unchanged
    std::uint16_t port = 0;    // 1 to 65535
    std::wstring extra;        // carried along, never interpreted
};
