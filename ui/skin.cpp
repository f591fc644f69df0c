#include "ui/skin.h"

#include "base/com_ptr.h"
#include "base/unique_resource.h"
#include "resources/resource_ids.h"
#include "ui/painting.h"

#include <objbase.h>

#include <cstring>
#include <memory>

namespace {

struct GlobalMemoryTraits {
    using Type = HGLOBAL;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { GlobalFree(h); }
};
using UniqueGlobal = UniqueResource<GlobalMemoryTraits>;

// GDI+ decodes from the stream lazily and may go back to it, so the stream lives as long as the image and is
// released after it.
ComPtr<IStream> skinStream;
std::unique_ptr<Gdiplus::Image> skinImage;

UniqueGlobal CopyResource(HMODULE module)
{
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(VORN_SKIN_RESOURCE), L"PNG");
    if (info == nullptr)
        return {};
    HGLOBAL loaded = LoadResource(module, info);
    const DWORD size = SizeofResource(module, info);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr || size == 0)
        return {};
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block)
        return {};
    void* target = GlobalLock(block.get());
    if (target == nullptr)
        return {};
    std::memcpy(target, bytes, size);
    GlobalUnlock(block.get());
    return block;
}

}

Gdiplus::Image* SkinImage()
{
    return skinImage && skinImage->GetLastStatus() == Gdiplus::Ok ? skinImage.get() : nullptr;
}

void LoadSkinFrom(HMODULE module)
{
    UniqueGlobal block = CopyResource(module);
    if (!block)
        return;
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block.get(), TRUE, stream.put())))
        return;
    block.release();  // the stream frees the block when it is released
    auto image = std::make_unique<Gdiplus::Image>(stream.get());
    if (image->GetLastStatus() != Gdiplus::Ok)
        return;
    FreeSkin();
    skinImage = std::move(image);
    skinStream = std::move(stream);
}

void LoadSkin()
{
    LoadSkinFrom(GetModuleHandleW(nullptr));
}

void FreeSkin()
{
    skinImage.reset();
    skinStream.reset();
}
