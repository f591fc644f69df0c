#include "ui/skin.h"

#include "base/unique_resource.h"
#include "resources/resource_ids.h"
#include "ui/skin_drawing.h"

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

Skin::Skin()
    : fallbackBrush_(CreateSolidBrush(RGB(kNoSkinControlColour.GetR(), kNoSkinControlColour.GetG(),
                                          kNoSkinControlColour.GetB())))
{
}

HBRUSH Skin::EraseBrush() const
{
    return facePattern_ ? facePattern_.get() : fallbackBrush_.get();
}

Gdiplus::Image* Skin::Image() const
{
    return image_ && image_->GetLastStatus() == Gdiplus::Ok ? image_.get() : nullptr;
}

void Skin::LoadFrom(HMODULE module)
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
    Free();
    facePattern_ = CreateFacePattern(*image);
    image_ = std::move(image);
    stream_ = std::move(stream);
}

void Skin::Free()
{
    facePattern_.reset();
    image_.reset();
    stream_.reset();
}
