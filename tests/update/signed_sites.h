#pragma once

// The keys and signed sites the signing tool made before the update tests ran (the signed_sites fixture).

#include "tests/support/process_probe.h"

#include <cstddef>
#include <filesystem>
#include <string>

inline std::wstring SignedSite(const std::wstring& name)
{
    return std::filesystem::weakly_canonical(std::filesystem::path(probe::BinDir()) / L".." / L"signed-sites" / name)
        .wstring();
}

// The public key of the sites, as the launcher's setting takes it.
inline std::wstring SignedSitesPublicKey()
{
    const std::string text = probe::ReadFileBytes(SignedSite(L"public-key.txt"));
    return std::wstring(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(text.find('\n')));
}
