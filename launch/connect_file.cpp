#include "launch/connect_file.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "launch/client_path.h"
#include "launch/connect_block.h"

#include <windows.h>

namespace {

constexpr wchar_t kConnectFileRelative[] = L"Data\\Local\\Connect.msil";
constexpr wchar_t kTemporarySuffix[] = L".launcher.tmp";

// A read-only connection file was made so on purpose and is not replaced. Windows' move refuses it by itself;
// not every system's move does, so the launcher asks first and behaves alike everywhere.
bool IsReadOnlyFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool IsExistingFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WriteBlock(HANDLE file)
{
    DWORD written = 0;
    return WriteFile(file, kConnectBlock.data(), static_cast<DWORD>(kConnectBlock.size()), &written, nullptr) &&
           written == kConnectBlock.size() && FlushFileBuffers(file);
}

}

std::wstring ConnectFilePath(const std::wstring& clientRoot)
{
    return JoinClientPath(clientRoot, kConnectFileRelative);
}

bool ConnectFileMatches(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart != static_cast<LONGLONG>(kConnectBlockSize))
        return false;
    std::array<unsigned char, kConnectBlockSize> content{};
    DWORD read = 0;
    if (!ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) ||
        read != content.size())
        return false;
    return content == kConnectBlock;
}

namespace {

// Replaces whatever is at `path` by the block, through a temporary file next to it, and reads the result back.
bool WriteConnectFile(const std::wstring& path)
{
    if (!EnsureParentFolder(path))
        return false;

    const std::wstring temporary = path + kTemporarySuffix;
    UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file)
        return false;
    // From here on the temporary file is ours and must not outlive this call, whatever fails.
    ScopeExit removeTemporary([&temporary] { DeleteFileW(temporary.c_str()); });
    const bool written = WriteBlock(file.get());
    file.reset();
    if (!written || IsReadOnlyFile(path))
        return false;
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    removeTemporary.Dismiss();
    return ConnectFileMatches(path);
}

}

ConnectFileOutcome EnsureConnectFile(const std::wstring& clientRoot, bool keepOtherFile)
{
    const std::wstring path = ConnectFilePath(clientRoot);
    if (ConnectFileMatches(path))
        return ConnectFileOutcome::Correct;
    if (keepOtherFile && IsExistingFile(path))
        return ConnectFileOutcome::OtherKept;
    return WriteConnectFile(path) ? ConnectFileOutcome::Correct : ConnectFileOutcome::Failed;
}
