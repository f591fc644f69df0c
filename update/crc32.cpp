#include "update/crc32.h"

#include "base/unique_resource.h"
#include "update/crc32_compute.h"

#include <windows.h>

#include <cwchar>
#include <vector>

vorn::Result<std::uint32_t> FileCrc32(const std::wstring& path, const FileBlockObserver& onBlock)
{
    const vorn::Failure unread{L"无法读取文件：" + path};
    // Other readers and writers may keep the file open; one that denies reading makes the open fail, and the
    // file then counts as not current.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return unread;

    constexpr DWORD kBufferSize = 65536;
    std::vector<unsigned char> buffer(kBufferSize);
    std::uint32_t crc = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), kBufferSize, &read, nullptr))
            return unread;
        if (read == 0)
            break;
        crc = Crc32(crc, buffer.data(), read);
        if (onBlock)
            onBlock(buffer.data(), read);
    }
    return crc;
}

std::wstring FormatCrc32(std::uint32_t value)
{
    wchar_t text[9] = {};
    std::swprintf(text, 9, L"%08X", static_cast<unsigned int>(value));
    return text;
}
