#include "update/path_rules.h"

#include <windows.h>

#include <cwctype>
#include <string_view>

namespace {

bool IsReservedDeviceName(std::wstring_view component)
{
    const std::wstring_view base = component.substr(0, component.find(L'.'));
    const auto is = [&](const wchar_t* name) {
        for (std::size_t i = 0; i < 3; ++i) {
            if (static_cast<wchar_t>(std::towupper(base[i])) != name[i])
                return false;
        }
        return true;
    };
    if (base.size() == 3)
        return is(L"CON") || is(L"PRN") || is(L"AUX") || is(L"NUL");
    return base.size() == 4 && (is(L"COM") || is(L"LPT")) && base[3] >= L'1' && base[3] <= L'9';
}

bool IsForbiddenCharacter(wchar_t c)
{
    return c < 0x20 || std::wstring_view(L":*?\"<>|\r\n").find(c) != std::wstring_view::npos;
}

enum class Presence { Missing, Plain, Linked, Unreadable };

// What one attribute query says about a path. A query that fails for another reason than "not there" tells
// nothing, and the walk goes on below it.
Presence QueryPresence(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::Missing
                                                                               : Presence::Unreadable;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return Presence::Linked;
    return Presence::Plain;
}

std::wstring JoinBase(const std::wstring& root)
{
    if (root.empty() || root.back() == L'\\' || root.back() == L'/')
        return root;
    return root + L'\\';
}

}

std::wstring InvalidPathMessage(const std::wstring& path)
{
    return L"文件路径无效：" + path;
}

std::wstring LinkedPathMessage(const std::wstring& linked)
{
    return L"客户端目录中的 " + linked + L" 是链接（符号链接或目录联接），为安全起见已停止更新。请移除该链接后重试。";
}

bool IsSafeRelativePath(std::wstring& path)
{
    if (path.empty())
        return false;
    if (std::iswspace(path.front()) || std::iswspace(path.back()))
        return false;
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\')
        return false;
    if (path[0] == L'\\')
        path.erase(0, 1);
    if (path.empty())
        return false;
    for (const wchar_t c : path) {
        if (IsForbiddenCharacter(c))
            return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L'\\', start);
        const std::wstring_view component = std::wstring_view(path).substr(start, end - start);
        if (component.empty() || component == L"." || component == L"..")
            return false;
        if (component.back() == L'.' || component.back() == L' ')
            return false;
        if (IsReservedDeviceName(component))
            return false;
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

vorn::Result<std::wstring> ResolveUnderRoot(const std::wstring& root, std::wstring relativePath)
{
    const std::wstring given = relativePath;
    if (!IsSafeRelativePath(relativePath))
        return vorn::Failure{InvalidPathMessage(given)};
    const std::wstring base = JoinBase(root);
    std::size_t end = 0;
    do {
        end = relativePath.find(L'\\', end + 1);
        const Presence presence = QueryPresence(base + relativePath.substr(0, end));
        if (presence == Presence::Linked)
            return vorn::Failure{LinkedPathMessage(relativePath.substr(0, end))};
        // Below a component that does not exist nothing can exist, so the walk may stop there.
        if (presence == Presence::Missing)
            break;
    } while (end != std::wstring::npos);
    return base + relativePath;
}

UnderRootResolver::UnderRootResolver(const std::wstring& root) : base_(JoinBase(root)) {}

vorn::Result<std::wstring> UnderRootResolver::Resolve(std::wstring relativePath)
{
    return Walk(std::move(relativePath), false);
}

vorn::Result<std::wstring> UnderRootResolver::ResolveWithStatus(std::wstring relativePath)
{
    return Walk(std::move(relativePath), true);
}

vorn::Result<std::wstring> UnderRootResolver::Walk(std::wstring relativePath, bool needStatus)
{
    const std::wstring given = relativePath;
    if (!IsSafeRelativePath(relativePath))
        return vorn::Failure{InvalidPathMessage(given)};
    std::size_t end = 0;
    do {
        end = relativePath.find(L'\\', end + 1);
        const bool isFolder = end != std::wstring::npos;
        prefix_.assign(relativePath, 0, end);
        for (wchar_t& c : prefix_)
            c = static_cast<wchar_t>(std::towupper(c));
        if (missing_.count(prefix_) != 0)
            break;
        if (isFolder && plainFolders_.count(prefix_) != 0)
            continue;
        const Presence presence = QueryPresence(base_ + relativePath.substr(0, end));
        if (presence == Presence::Linked)
            return vorn::Failure{LinkedPathMessage(relativePath.substr(0, end))};
        if (presence == Presence::Missing) {
            missing_.insert(prefix_);
            break;
        }
        if (presence == Presence::Plain && isFolder)
            plainFolders_.insert(prefix_);
        if (presence == Presence::Unreadable && !isFolder && needStatus)
            return vorn::Failure{L"无法读取文件状态：" + base_ + relativePath};
    } while (end != std::wstring::npos);
    return base_ + relativePath;
}

vorn::Result<std::wstring> FullPathOf(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return vorn::Failure{InvalidPathMessage(path)};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return vorn::Failure{InvalidPathMessage(path)};
    full.resize(length);
    return full;
}
