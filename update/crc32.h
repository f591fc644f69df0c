#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Sees every block of a file as it is read, in order.
using FileBlockObserver = std::function<void(const unsigned char* data, std::size_t size)>;

// CRC-32 of a whole file, streamed through one 64 KiB buffer. *ok (when given) is true only when the file was
// opened and read to its end; a missing, unreadable or locked file gives 0 with *ok false, and a read error in
// the middle gives the checksum of the bytes read so far with *ok false. Callers must not use a value whose
// flag is false. onBlock (when given) sees the same bytes, so one read serves another digest too.
std::uint32_t FileCrc32(const std::wstring& path, bool* ok = nullptr, const FileBlockObserver& onBlock = {});

// The only text form checksums are compared in: eight upper-case hexadecimal digits ("%08X").
std::wstring FormatCrc32(std::uint32_t value);
