#include "tests/ui/control_host.h"

#include "tests/support/process_probe.h"
#include "ui/main_window.h"
#include "ui/resolutions.h"

namespace testui {

namespace {

HWND CreateHidden(const wchar_t* className, DWORD style, HWND parent, int id)
{
    return CreateWindowExW(0, className, L"", WS_CHILD | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

}

ControlHost::ControlHost()
{
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplusToken_, &input, nullptr);
    parent_ = CreateWindowExW(0, L"STATIC", L"test host", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 1040, 665, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    window_ = std::make_unique<MainWindow>(parent_);
    MainWindow::Attach(parent_, window_.get());
    MainWindowControls& controls = window_->controls;
    controls.accountEdit = CreateHidden(L"EDIT", ES_AUTOHSCROLL, parent_, 201);
    controls.resolutionCombo = CreateHidden(L"COMBOBOX", CBS_DROPDOWNLIST | CBS_HASSTRINGS, parent_, 202);
    for (const wchar_t* text : kResolutionTexts)
        SendMessageW(controls.resolutionCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    controls.windowedCheck = Button(203, 290, 543, 131, 31);
}

ControlHost::~ControlHost()
{
    MainWindow::Attach(parent_, nullptr);
    DestroyWindow(parent_);
    window_.reset();
    Gdiplus::GdiplusShutdown(gdiplusToken_);
}

HWND ControlHost::Button(int id, int x, int y, int width, int height)
{
    return CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, x, y, width, height, parent_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

Surface::Surface(int width, int height) : width_(width), height_(height)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<const std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
}

Surface::~Surface()
{
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
}

COLORREF Surface::At(int x, int y) const
{
    GdiFlush();
    const std::uint32_t bgra = bits_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                                     static_cast<std::size_t>(x)];
    return RGB((bgra >> 16) & 0xFF, (bgra >> 8) & 0xFF, bgra & 0xFF);
}

std::vector<COLORREF> Surface::Area(int x, int y, int width, int height) const
{
    std::vector<COLORREF> pixels;
    for (int row = y; row < y + height; ++row)
        for (int column = x; column < x + width; ++column)
            pixels.push_back(At(column, row));
    return pixels;
}

DRAWITEMSTRUCT DrawItemFor(HWND control, const Surface& surface, UINT state)
{
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.CtlID = static_cast<UINT>(GetDlgCtrlID(control));
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = state;
    item.hwndItem = control;
    item.hDC = surface.dc();
    GetClientRect(control, &item.rcItem);
    return item;
}

LauncherResources::LauncherResources()
    : module_(LoadLibraryExW(probe::LauncherExe().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
{
}

LauncherResources::~LauncherResources()
{
    if (module_ != nullptr)
        FreeLibrary(module_);
}

}
