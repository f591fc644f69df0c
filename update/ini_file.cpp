#include "update/ini_file.h"

#include "base/unique_resource.h"

#include <windows.h>

#include <climits>
#include <random>

namespace {

constexpr std::size_t kValueLimit = 32767;  // the reader's buffer is 32768 characters with its terminator
// The table starts this small and doubles as keys come in: its size follows the keys, never the line breaks
// (a manifest of nothing but line breaks must not reserve room for millions of keys).
constexpr std::size_t kInitialSlots = 64;

// The reader's white space: ASCII blanks and control spaces, plus ^Z (an old end-of-file mark). Other Unicode
// spaces such as U+00A0 or U+3000 are ordinary characters to it.
bool IsReaderSpace(wchar_t c)
{
    return c == L' ' || (c >= 0x09 && c <= 0x0D) || c == 0x1A;
}

// The reader compares names ignoring the case of ASCII letters only ("É" and "é" are different names to it).
wchar_t FoldUnit(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Drawn once per process, so a manifest cannot be made of keys that all land in the same slot.
std::uint64_t HashSeed()
{
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    return seed;
}

// FNV-1a over the folded units, starting from the process's seed, with a final mix so that every bit of the
// seed reaches the slot number.
std::uint32_t FoldedHash(std::wstring_view name)
{
    std::uint64_t hash = 14695981039346656037ull ^ HashSeed();
    for (const wchar_t c : name)
        hash = (hash ^ static_cast<std::uint64_t>(FoldUnit(c))) * 1099511628211ull;
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    return static_cast<std::uint32_t>(hash);
}

bool FoldedEqual(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldUnit(a[i]) != FoldUnit(b[i]))
            return false;
    }
    return true;
}

std::wstring Folded(std::wstring_view name)
{
    std::wstring folded(name);
    for (wchar_t& c : folded)
        c = FoldUnit(c);
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

std::wstring MultiByteText(UINT codePage, std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int inputLength = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), inputLength, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(codePage, 0, bytes.data(), inputLength, text.data(), length) != length)
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

// What the reader hands back for a stored value: a value enclosed in a pair of equal quotes loses them, and the
// copy into the 32768-character buffer keeps at most 32767 characters. When the quoted text is exactly one
// character too long for the buffer the reader still drops its last character, losing one real one; the table
// answers the same. The answer is always one piece of the stored value.
std::wstring_view ReaderValue(std::wstring_view value)
{
    bool quoted = false;
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
        quoted = true;
        value.remove_prefix(1);
    }
    const std::size_t fullLength = value.size();
    value = value.substr(0, kValueLimit);
    if (quoted && fullLength <= kValueLimit + 1)
        value.remove_suffix(1);
    return value;
}

}

std::wstring IniFile::DecodeText(std::string_view bytes)
{
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return MultiByteText(CP_UTF8, bytes.substr(3));
    if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE")
        return Utf16Text(bytes.substr(2), false);
    if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFE\xFF")
        return Utf16Text(bytes.substr(2), true);
    // Without a mark the system reader takes the text in the ANSI code page, also text whose bytes happen to be
    // valid UTF-8 (many GBK names are): an update site that writes UTF-8 puts its mark in front.
    return MultiByteText(CP_ACP, bytes);
}

IniFile IniFile::FromText(std::wstring text)
{
    IniFile ini;
    ini.text_ = std::move(text);
    ini.Parse();
    return ini;
}

void IniFile::Parse()
{
    sections_.clear();
    used_ = 0;
    if (text_.size() > UINT32_MAX)
        text_.clear();
    const std::wstring_view text = text_;
    slots_.assign(kInitialSlots, Slot{});
    // Lines before the first section header form a section without a name. It comes first, so any later section
    // whose name is empty or blank is never searched.
    sections_.emplace(std::wstring(), 1);
    std::uint32_t current = 1;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = position;
        while (end < text.size() && text[end] != L'\n' && text[end] != L'\r')
            ++end;
        end = end == text.size() ? end : end + 1;
        const std::wstring_view line = TrimReaderSpace(text.substr(position, end - position));
        position = end;
        if (line.empty())
            continue;

        if (line.front() == L'[') {
            const std::size_t close = line.rfind(L']');
            if (close != std::wstring_view::npos) {
                // Only the first section of a name is ever searched; the lines of a repeated one are skipped.
                const std::wstring name = Folded(TrimReaderSpace(CutAtNul(line.substr(1, close - 1))));
                const auto [it, inserted] =
                    sections_.emplace(name, static_cast<std::uint32_t>(sections_.size() + 1));
                current = inserted ? it->second : 0;
                continue;
            }
        }
        if (current == 0)
            continue;

        const std::size_t equals = line.find(L'=');
        std::wstring_view key = line;
        std::wstring_view value;
        if (equals != std::wstring_view::npos) {
            key = TrimReaderSpace(line.substr(0, equals));
            value = TrimReaderSpace(line.substr(equals + 1));
        }
        const auto span = [&](std::wstring_view piece) {
            return Span{static_cast<std::uint32_t>(piece.data() - text.data()),
                        static_cast<std::uint32_t>(piece.size())};
        };
        // A key without "=" has no value and answers with the default, but still hides later keys of its name.
        key = CutAtNul(key);
        value = ReaderValue(CutAtNul(value));
        Insert(current, span(key), value.empty() ? Span{} : span(value));
    }
}

std::size_t IniFile::SectionHash::operator()(const std::wstring& foldedName) const
{
    return FoldedHash(foldedName);
}

std::uint32_t IniFile::FindSection(const std::wstring& foldedName) const
{
    const auto found = sections_.find(foldedName);
    return found == sections_.end() ? 0 : found->second;
}

std::size_t IniFile::SlotIndex(std::uint32_t section, std::wstring_view key, std::uint32_t hash) const
{
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = (hash ^ section * 0x9E3779B9u) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.section == 0 || (slot.section == section && slot.hash == hash && FoldedEqual(View(slot.key), key)))
            return i;
    }
}

void IniFile::Insert(std::uint32_t section, Span key, Span value)
{
    if ((used_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.section != 0)
                slots_[SlotIndex(slot.section, View(slot.key), slot.hash)] = slot;
        }
    }
    const std::uint32_t hash = FoldedHash(View(key));
    Slot& slot = slots_[SlotIndex(section, View(key), hash)];
    if (slot.section != 0)
        return;  // the first key of a name wins
    slot = Slot{section, hash, key, value};
    ++used_;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > INT_MAX)
        return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
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
    return true;
}

bool IniFile::Load(const std::wstring& path)
{
    *this = FromText(std::wstring());
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    *this = FromText(DecodeText(bytes));
    return true;
}

std::wstring_view IniFile::Get(std::wstring_view section, std::wstring_view key) const
{
    const std::uint32_t sectionIndex = FindSection(Folded(TrimReaderSpace(section)));
    if (sectionIndex == 0)
        return {};
    key = TrimReaderSpace(key);
    const Slot& slot = slots_[SlotIndex(sectionIndex, key, FoldedHash(key))];
    return slot.section == 0 ? std::wstring_view() : View(slot.value);
}
