#include "update/block_index_ref.h"

#include "update/block_index.h"
#include "update/path_rules.h"

namespace {

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Splits off the text up to the next space.
std::wstring_view TakeWord(std::wstring_view& rest)
{
    const std::size_t space = rest.find(L' ');
    const std::wstring_view word = rest.substr(0, space);
    rest = space == std::wstring_view::npos ? std::wstring_view() : rest.substr(space + 1);
    return word;
}

}

std::optional<BlockIndexRef> ParseBlockIndexRef(std::wstring_view value)
{
    BlockIndexRef ref;
    const std::wstring_view size = TakeWord(value);
    if (size.empty() || size.size() > 9 || (size.size() > 1 && size[0] == L'0'))
        return std::nullopt;
    for (const wchar_t c : size) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        ref.size = ref.size * 10 + static_cast<unsigned>(c - L'0');
    }
    if (ref.size < kBlockIndexHeaderBytes || ref.size > kMaxBlockIndexBytes)
        return std::nullopt;
    const std::wstring_view digest = TakeWord(value);
    if (digest.size() != 2 * ref.sha256.size())
        return std::nullopt;
    for (std::size_t i = 0; i < ref.sha256.size(); ++i) {
        const int high = HexDigit(digest[2 * i]);
        const int low = HexDigit(digest[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        ref.sha256[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    ref.sitePath.assign(value);
    if (!IsSafeRelativePath(ref.sitePath))
        return std::nullopt;
    return ref;
}

std::vector<std::optional<BlockIndexRef>> ReadBlockIndexRefs(const IniFile& manifest, std::size_t count)
{
    std::vector<std::optional<BlockIndexRef>> refs(count);
    std::wstring key;
    for (std::size_t n = 1; n <= count; ++n) {
        key.assign(L"Index").append(std::to_wstring(n));
        const std::wstring_view value = manifest.Get(L"Blocks", key);
        if (!value.empty())
            refs[n - 1] = ParseBlockIndexRef(value);
    }
    return refs;
}
