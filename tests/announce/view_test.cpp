// Building and tearing down the panel. Wine ships the browser control but (in the test sessions) no HTML
// engine: the launcher's own source refuses it, while the tests host Wine's control directly to see the
// panel built and torn down through a real browser object.

#include "announce/announcement_module.h"
#include "announce/announcement_view.h"
#include "announce/host_window.h"
#include "base/unique_resource.h"
#include "tests/announce/fake_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const RECT kPanelRect{265, 101, 775, 297};

HRESULT CreateWineBrowser(ComPtr<IOleObject>& control)
{
    CLSID browserClass{};
    const HRESULT hr = CLSIDFromProgID(L"Shell.Explorer.2", &browserClass);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(browserClass, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, control.put_void());
}

HRESULT NoControl(ComPtr<IOleObject>&)
{
    return REGDB_E_CLASSNOTREG;
}

FakeControl* fakeControl = nullptr;

HRESULT CreateFakeControl(ComPtr<IOleObject>& control)
{
    fakeControl->AddRef();
    control = ComPtr<IOleObject>::Attach(fakeControl);
    return S_OK;
}

DWORD TestPath(wchar_t* buffer, DWORD capacity)
{
    return GetModuleFileNameW(nullptr, buffer, capacity);
}

// A path that fills the whole buffer, as a truncated one would.
DWORD FilledPath(wchar_t* buffer, DWORD capacity)
{
    std::fill(buffer, buffer + capacity, L'a');
    return capacity;
}

// The longest path the buffer holds.
DWORD LongestPath(wchar_t* buffer, DWORD capacity)
{
    const std::wstring path = L"\\\\?\\C:\\" + std::wstring(capacity - 1 - 7, L'a');
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

DWORD NoPath(wchar_t*, DWORD)
{
    return 0;
}

class AnnouncementViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module_.InitializeOle());
        parent_.reset(CreateWindowExW(0, L"STATIC", L"main", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 1040, 665, nullptr,
                                      nullptr, GetModuleHandleW(nullptr), nullptr));
        ASSERT_TRUE(parent_);
    }

    void TearDown() override
    {
        view_.Destroy();
        EXPECT_EQ(view_.host(), nullptr);
        EXPECT_EQ(view_.browser(), nullptr);
    }

    std::vector<HWND> Hosts() const
    {
        std::vector<HWND> hosts;
        for (HWND child = GetWindow(parent_.get(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            if (vorn::IsAnnouncementHost(child))
                hosts.push_back(child);
        }
        return hosts;
    }

    bool HasChildren() const { return GetWindow(parent_.get(), GW_CHILD) != nullptr; }

    // Takes a reference of the panel's browser, so a test can see the panel let go of all of its own.
    ComPtr<IWebBrowser2> ShareBrowser() const
    {
        if (view_.browser() != nullptr)
            view_.browser()->AddRef();
        return ComPtr<IWebBrowser2>::Attach(view_.browser());
    }

    vorn::AnnouncementModule module_;
    UniqueWindow parent_;
    vorn::AnnouncementView view_;
};

}

TEST_F(AnnouncementViewTest, HostWindowAndBrowserCarryThePanelSettings)
{
    HWND host = view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, TestPath});
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(view_.host(), host);
    ASSERT_NE(view_.browser(), nullptr);
    EXPECT_EQ(Hosts(), std::vector<HWND>{host});

    EXPECT_EQ(GetParent(host), parent_.get());
    EXPECT_EQ(GetDlgCtrlID(host), 207);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(host, GWL_STYLE)), 0x56000000u);
    EXPECT_EQ(GetWindowLongW(host, GWL_EXSTYLE), 0);
    RECT rect{};
    GetWindowRect(host, &rect);
    MapWindowPoints(nullptr, parent_.get(), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_TRUE(EqualRect(&rect, &kPanelRect));
    wchar_t text[32] = {};
    GetWindowTextW(host, text, 32);
    EXPECT_STREQ(text, L"游戏公告");

    VARIANT_BOOL silent = VARIANT_FALSE;
    ASSERT_EQ(view_.browser()->get_Silent(&silent), S_OK);
    EXPECT_EQ(silent, VARIANT_TRUE);
    VARIANT_BOOL dropTarget = VARIANT_TRUE;
    ASSERT_EQ(view_.browser()->get_RegisterAsDropTarget(&dropTarget), S_OK);
    EXPECT_EQ(dropTarget, VARIANT_FALSE);
    VARIANT_BOOL registered = VARIANT_TRUE;
    ASSERT_EQ(view_.browser()->get_RegisterAsBrowser(&registered), S_OK);
    EXPECT_EQ(registered, VARIANT_FALSE);

    const ComPtr<vorn::AnnouncementSite> site = vorn::HostSite(host);
    ASSERT_TRUE(site);
    EXPECT_EQ(site->Settings().backColor, RGB(0, 0, 0));
    EXPECT_EQ(site->Settings().docHostFlags, 0x840006u);
    EXPECT_FALSE(site->Settings().allowContextMenu);
    EXPECT_FALSE(site->Settings().allowShowUI);
    ComPtr<IUnknown> control = site->Control();
    ComPtr<IUnknown> browserIdentity;
    ASSERT_EQ(view_.browser()->QueryInterface(IID_IUnknown, browserIdentity.put_void()), S_OK);
    EXPECT_EQ(control.get(), browserIdentity.get());
}

TEST_F(AnnouncementViewTest, DestructionReleasesEveryReference)
{
    ASSERT_NE(view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, TestPath}), nullptr);
    ComPtr<IWebBrowser2> browser = ShareBrowser();
    ComPtr<vorn::AnnouncementSite> site = vorn::HostSite(view_.host());
    HWND host = view_.host();

    view_.Destroy();
    EXPECT_EQ(view_.host(), nullptr);
    EXPECT_EQ(view_.browser(), nullptr);
    EXPECT_FALSE(IsWindow(host));
    EXPECT_FALSE(HasChildren());
    EXPECT_EQ(site.detach()->Release(), 0u);
    EXPECT_EQ(browser.detach()->Release(), 0u);
}

TEST_F(AnnouncementViewTest, SecondCreationDestroysTheFirstPanel)
{
    HWND first = view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, TestPath});
    ASSERT_NE(first, nullptr);
    ComPtr<IWebBrowser2> firstBrowser = ShareBrowser();

    HWND second = view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, TestPath});
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(Hosts(), std::vector<HWND>{second});
    EXPECT_EQ(view_.host(), second);
    EXPECT_NE(view_.browser(), firstBrowser.get());
    EXPECT_EQ(firstBrowser.detach()->Release(), 0u);

    // A failed creation also takes the standing panel down first.
    EXPECT_EQ(view_.Build(parent_.get(), kPanelRect, {NoControl, TestPath}), nullptr);
    EXPECT_FALSE(IsWindow(second));
    EXPECT_FALSE(HasChildren());
}

TEST_F(AnnouncementViewTest, DestructionAfterTheParentDestroyedTheHost)
{
    HWND host = view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, TestPath});
    ASSERT_NE(host, nullptr);
    ComPtr<IWebBrowser2> browser = ShareBrowser();
    ComPtr<vorn::AnnouncementSite> site = vorn::HostSite(host);

    parent_.reset();
    EXPECT_FALSE(IsWindow(host));
    EXPECT_FALSE(site->Control()) << "the host let go of its control when it was destroyed";
    EXPECT_EQ(view_.host(), host);

    view_.Destroy();
    EXPECT_EQ(view_.host(), nullptr);
    EXPECT_EQ(view_.browser(), nullptr);
    EXPECT_EQ(site.detach()->Release(), 0u);
    EXPECT_EQ(browser.detach()->Release(), 0u);
}

TEST_F(AnnouncementViewTest, PathThatFillsTheBufferFailsCreation)
{
    EXPECT_EQ(view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, FilledPath}), nullptr);
    EXPECT_EQ(view_.host(), nullptr);
    EXPECT_EQ(view_.browser(), nullptr);
    EXPECT_FALSE(HasChildren());

    EXPECT_EQ(view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, NoPath}), nullptr);
    EXPECT_FALSE(HasChildren());

    EXPECT_NE(view_.Build(parent_.get(), kPanelRect, {CreateWineBrowser, LongestPath}), nullptr)
        << "a path one character short of the buffer still builds the address";
}

TEST_F(AnnouncementViewTest, ControlThatIsNoBrowserIsClosedAndReleased)
{
    FakeControl control;
    fakeControl = &control;
    EXPECT_EQ(view_.Build(parent_.get(), kPanelRect, {CreateFakeControl, TestPath}), nullptr);
    fakeControl = nullptr;
    EXPECT_EQ(view_.host(), nullptr);
    EXPECT_EQ(view_.browser(), nullptr);
    EXPECT_FALSE(HasChildren());
    EXPECT_EQ(control.references(), 0u);
    EXPECT_EQ(control.site(), nullptr);
    ASSERT_GE(control.calls().size(), 2u);
    EXPECT_EQ(control.calls()[control.calls().size() - 2], "Close(nosave)");
    EXPECT_EQ(control.calls().back(), "SetClientSite(null)");
}

TEST_F(AnnouncementViewTest, WithoutAnHtmlEngineTheLauncherGetsNoPanel)
{
    EXPECT_EQ(view_.Create(parent_.get(), kPanelRect), nullptr);
    EXPECT_EQ(view_.host(), nullptr);
    EXPECT_EQ(view_.browser(), nullptr);
    EXPECT_FALSE(HasChildren());
}

TEST(AnnouncementModule, PanelEndsWithItsOwnerAndTheModuleTakesTheClassAway)
{
    UniqueWindow parent;
    ComPtr<IWebBrowser2> browser;
    {
        vorn::AnnouncementModule module;
        ASSERT_TRUE(module.InitializeOle());
        parent.reset(CreateWindowExW(0, L"STATIC", L"main", WS_POPUP, 0, 0, 1040, 665, nullptr, nullptr,
                                     GetModuleHandleW(nullptr), nullptr));
        {
            vorn::AnnouncementView view;
            ASSERT_NE(view.Build(parent.get(), kPanelRect, {CreateWineBrowser, TestPath}), nullptr);
            view.browser()->AddRef();
            browser = ComPtr<IWebBrowser2>::Attach(view.browser());
        }
        EXPECT_EQ(GetWindow(parent.get(), GW_CHILD), nullptr) << "the panel's owner took its host window down";
        EXPECT_EQ(browser.detach()->Release(), 0u) << "and let go of its browser";
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), vorn::kAnnouncementHostClass, &wc));
}
