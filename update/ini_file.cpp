#include "update/ini_file.h"

#include "app/unique_resource.h"

#include <windows.h>

#include <climits>

namespace {

constexpr std::size_t kValueLimit = 32767;  // the reader's buffer is 32768 characters with its terminator

// The reader's white space: ASCII blanks and control spaces, plus ^Z (an old end-of-file mark). Other Unicode
// spaces such as U+00A0 or U+3000 are ordinary characters to it.
bool IsReaderSpace(wchar_t c)
{
    return c == L' ' || (c >= 0x09 && c <= 0x0D) || c == 0x1A;
}

// The reader compares names ignoring the case of ASCII letters only ("É" and "é" are different names to it).
std::wstring FoldName(std::wstring_view name)
{
    std::wstring folded(name);
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return folded;
}

std::wstring_view TrimReaderSpace(std::wstring_view text)
{
    while (!text.empty() && IsReaderSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsReaderSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// The reader keeps names and values as C strings, so everything from an embedded NUL on is lost.
std::wstring_view CutAtNul(std::wstring_view text)
{
    return text.substr(0, text.find(L'\0'));
}

std::wstring MultiByteText(UINT codePage, DWORD flags, std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, flags, bytes.data(), inputLength, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(codePage, flags, bytes.data(), inputLength, text.data(), length) != length)
        return {};
    return text;
}

std::wstring Utf16Text(std::string_view bytes, bool bigEndian)
{
    std::wstring text(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto first = static_cast<unsigned char>(bytes[2 * i]);
        const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
        text[i] = static_cast<wchar_t>(bigEndian ? (first << 8 | second) : (second << 8 | first));
    }
    return text;
}

bool IsAscii(std::string_view bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// What the reader hands back for a stored value: a value enclosed in a pair of equal quotes loses them, and the
// copy into the 32768-character buffer keeps at most 32767 characters. When the quoted text is exactly one
// character too long for the buffer the reader still drops its last character, losing one real one; the table
// answers the same.
std::wstring ReaderValue(std::wstring_view value)
{
    bool quoted = false;
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
        quoted = true;
        value.remove_prefix(1);
    }
    const std::size_t fullLength = value.size();
    std::wstring result(value.substr(0, kValueLimit));
    if (quoted && fullLength <= kValueLimit + 1)
        result.pop_back();
    return result;
}

}

std::wstring IniFile::DecodeText(std::string_view bytes)
{
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return MultiByteText(CP_UTF8, 0, bytes.substr(3));
    if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE")
        return Utf16Text(bytes.substr(2), false);
    if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFE\xFF")
        return Utf16Text(bytes.substr(2), true);
    // Text without a mark is in the ANSI code page for the system reader. Text that is valid UTF-8 and not plain
    // ASCII is almost never meant as ANSI, and an update site is likely to write UTF-8, so it is read as UTF-8.
    if (!IsAscii(bytes)) {
        std::wstring utf8 = MultiByteText(CP_UTF8, MB_ERR_INVALID_CHARS, bytes);
        if (!utf8.empty())
            return utf8;
    }
    return MultiByteText(CP_ACP, 0, bytes);
}

IniFile IniFile::FromText(std::wstring_view text)
{
    IniFile ini;
    // Lines before the first section header form a section without a name. It comes first, so any later section
    // whose name is empty or blank is never searched.
    Section* current = &ini.sections_[std::wstring()];
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find_first_of(L"\r\n", position);
        end = end == std::wstring_view::npos ? text.size() : end + 1;
        const std::wstring_view line = TrimReaderSpace(text.substr(position, end - position));
        position = end;
        if (line.empty())
            continue;

        if (line.front() == L'[') {
            const std::size_t close = line.rfind(L']');
            if (close != std::wstring_view::npos) {
                // Only the first section of a name is ever searched; the lines of a repeated one are skipped.
                auto [it, inserted] =
                    ini.sections_.try_emplace(FoldName(TrimReaderSpace(CutAtNul(line.substr(1, close - 1)))));
                current = inserted ? &it->second : nullptr;
                continue;
            }
        }
        if (current == nullptr)
            continue;

        const std::size_t equals = line.find(L'=');
        std::wstring_view key = line;
        std::wstring_view value;
        if (equals != std::wstring_view::npos) {
            key = TrimReaderSpace(line.substr(0, equals));
            value = TrimReaderSpace(line.substr(equals + 1));
        }
        // A key without "=" has no value and answers with the default, but still hides later keys of its name.
        current->values.try_emplace(FoldName(CutAtNul(key)), ReaderValue(CutAtNul(value)));
    }
    return ini;
}

bool IniFile::Load(const std::wstring& path)
{
    sections_.clear();
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > INT_MAX)
        return false;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr))
            return false;
        if (read == 0)
            break;
        done += read;
    }
    bytes.resize(done);
    *this = FromText(DecodeText(bytes));
    return true;
}

std::wstring IniFile::Get(std::wstring_view section, std::wstring_view key) const
{
    const auto found = sections_.find(FoldName(TrimReaderSpace(section)));
    if (found == sections_.end())
        return {};
    const auto value = found->second.values.find(FoldName(TrimReaderSpace(key)));
    return value == found->second.values.end() ? std::wstring() : value->second;
}
