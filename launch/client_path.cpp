#include "launch/client_path.h"

#include <filesystem>

std::wstring JoinClientPath(const std::wstring& root, const std::wstring& relative)
{
    return (std::filesystem::path(root) / relative).lexically_normal().wstring();
}
