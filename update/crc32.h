#pragma once

#include <cstdint>
#include <string>

// CRC-32 of a whole file, streamed through one 64 KiB buffer. *ok (when given) is true only when the file was
// opened and read to its end; a missing, unreadable or locked file gives 0 with *ok false, and a read error in
// the middle gives the checksum of the bytes read so far with *ok false. Callers must not use a value whose
// flag is false.
std::uint32_t FileCrc32(const std::wstring& path, bool* ok = nullptr);

// The only text form checksums are compared in: eight upper-case hexadecimal digits ("%08X").
std::wstring FormatCrc32(std::uint32_t value);
