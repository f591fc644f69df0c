#include "announce/announcement_address.h"

namespace vorn {

std::optional<std::wstring> AnnouncementAddress(const wchar_t* buffer, DWORD copied)
{
    if (buffer == nullptr || copied == 0 || copied >= kModulePathCapacity)
        return std::nullopt;
    std::wstring address = L"res://";
    address.append(buffer, copied);
    address += L"/gg.htm";
    return address;
}

}
