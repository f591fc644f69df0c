#pragma once

#include "update/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Sees every block of a file as it is read, in order.
using FileBlockObserver = std::function<void(const unsigned char* data, std::size_t size)>;

// CRC-32 of a whole file, streamed through one 64 KiB buffer; a missing, unreadable or locked file, or a read
// error in the middle, fails. onBlock (when given) sees the same bytes, so one read serves another digest too.
vorn::Result<std::uint32_t> FileCrc32(const std::wstring& path, const FileBlockObserver& onBlock = {});

// The only text form checksums are compared in: eight upper-case hexadecimal digits ("%08X").
std::wstring FormatCrc32(std::uint32_t value);
