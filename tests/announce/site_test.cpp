// The control host: its window class, its one site and what the site does to a control and answers it.

#include "announce/announcement_ambient.h"
#include "announce/announcement_module.h"
#include "announce/announcement_view.h"
#include "announce/host_window.h"
#include "announce/panel_settings.h"
#include "base/unique_resource.h"
#include "tests/announce/fake_control.h"

#include <gtest/gtest.h>

#include <mshtmdid.h>
#include <mshtmhst.h>
#include <olectl.h>

#include <algorithm>

using vorn::AnnouncementSite;

namespace {

std::vector<std::string> Calls(std::initializer_list<const char*> names)
{
    return {names.begin(), names.end()};
}

class HostWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module_.InitializeOle());
        ASSERT_TRUE(vorn::RegisterAnnouncementHostClass(GetModuleHandleW(nullptr)));
        parent_.reset(CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr));
        ASSERT_TRUE(parent_);
        host_ = CreateWindowExW(0, vorn::kAnnouncementHostClass, L"", WS_CHILD | WS_VISIBLE, 265, 101, 510, 196,
                                parent_.get(), nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(host_, nullptr);
        site_ = vorn::HostSite(host_);
        ASSERT_TRUE(site_);
    }

    vorn::AnnouncementModule module_;
    UniqueWindow parent_;
    HWND host_ = nullptr;
    ComPtr<AnnouncementSite> site_;
};

VARIANT AskAmbient(IDispatch& dispatch, DISPID id, HRESULT& hr)
{
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{};
    hr = dispatch.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    return result;
}

}

TEST_F(HostWindowTest, EveryInterfaceSharesOneIdentityAndOneCount)
{
    ComPtr<IUnknown> identity;
    ASSERT_EQ(site_->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
    for (const IID* iid : {&IID_IOleClientSite, &IID_IOleWindow, &IID_IOleInPlaceSite, &IID_IOleInPlaceUIWindow,
                           &IID_IOleInPlaceFrame, &IID_IDocHostUIHandler, &IID_IDispatch}) {
        ComPtr<IUnknown> role;
        ASSERT_EQ(site_->QueryInterface(*iid, role.put_void()), S_OK);
        ComPtr<IUnknown> back;
        ASSERT_EQ(role->QueryInterface(IID_IUnknown, back.put_void()), S_OK);
        EXPECT_EQ(back.get(), identity.get());
    }

    ComPtr<IDocHostUIHandler> handler;
    ASSERT_EQ(site_->QueryInterface(IID_IDocHostUIHandler, handler.put_void()), S_OK);
    const ULONG viaHandler = handler->AddRef();
    EXPECT_EQ(site_->AddRef(), viaHandler + 1);
    site_->Release();
    handler->Release();

    ComPtr<IOleContainer> container;
    EXPECT_EQ(site_->QueryInterface(IID_IOleContainer, container.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(container);
    EXPECT_EQ(site_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(HostWindowTest, SitesTheControlFirstAndActivatesItOverTheClientArea)
{
    FakeControl control;
    ASSERT_EQ(site_->AttachControl(&control), S_OK);
    EXPECT_EQ(control.calls(), Calls({"SetClientSite", "InitNew", "DoVerb(inplace)"}));
    EXPECT_EQ(control.activationWindow(), host_);
    const RECT client{0, 0, 510, 196};
    EXPECT_TRUE(EqualRect(&control.objectRect(), &client));
    EXPECT_TRUE(EqualRect(&control.contextRect(), &client));
    ComPtr<IUnknown> hosted = site_->Control();
    EXPECT_EQ(hosted.get(), static_cast<IUnknown*>(static_cast<IOleObject*>(&control)));
    hosted.reset();

    // The in-place object follows the host window's size.
    MoveWindow(host_, 0, 0, 300, 120, FALSE);
    const RECT resized{0, 0, 300, 120};
    EXPECT_EQ(control.calls().back(), "SetObjectRects");
    EXPECT_TRUE(EqualRect(&control.objectRect(), &resized));
    DestroyWindow(host_);
}

TEST_F(HostWindowTest, FocusOnTheHostActivatesTheControlsUserInterface)
{
    FakeControl control;
    ASSERT_EQ(site_->AttachControl(&control), S_OK);
    SetFocus(host_);
    EXPECT_EQ(control.calls().back(), "DoVerb(" + std::to_string(OLEIVERB_UIACTIVATE) + ")");
    DestroyWindow(host_);
}

TEST_F(HostWindowTest, InitialisesBeforeSitingWhenTheControlDoesNotAskOtherwise)
{
    FakeControl control(0);
    ASSERT_EQ(site_->AttachControl(&control), S_OK);
    EXPECT_EQ(control.calls(), Calls({"InitNew", "SetClientSite", "DoVerb(inplace)"}));
    DestroyWindow(host_);
}

TEST_F(HostWindowTest, DestroyingTheHostClosesTheControlAndReleasesEverything)
{
    FakeControl control;
    ASSERT_EQ(site_->AttachControl(&control), S_OK);
    ComPtr<vorn::AnnouncementAmbient> ambient = vorn::AnnouncementAmbient::Create();
    site_->SetAmbientDispatch(ambient.get());
    EXPECT_GT(control.references(), 0u);

    DestroyWindow(host_);
    EXPECT_EQ(control.calls(),
              Calls({"SetClientSite", "InitNew", "DoVerb(inplace)", "InPlaceDeactivate", "Close(nosave)",
                     "SetClientSite(null)"}));
    EXPECT_EQ(control.site(), nullptr);
    EXPECT_EQ(control.references(), 0u);
    EXPECT_FALSE(vorn::HostSite(host_));
    // The test's own references are the last ones: the window and the control have let go of theirs.
    EXPECT_EQ(site_.detach()->Release(), 0u);
    EXPECT_EQ(ambient.detach()->Release(), 0u);
}

TEST_F(HostWindowTest, FailedActivationLeavesNoControlBehind)
{
    FakeControl control;
    control.FailActivation(E_FAIL);
    EXPECT_EQ(site_->AttachControl(&control), E_FAIL);
    EXPECT_EQ(control.calls(),
              Calls({"SetClientSite", "InitNew", "DoVerb(inplace)", "Close(nosave)", "SetClientSite(null)"}));
    EXPECT_EQ(control.references(), 0u);
    EXPECT_FALSE(site_->Control());
    EXPECT_EQ(site_->AttachControl(nullptr), E_POINTER);
}

TEST_F(HostWindowTest, WindowContextNamesTheSiteAsFrameAndTheParentAsFrameWindow)
{
    ComPtr<IOleInPlaceSite> inPlace;
    ASSERT_EQ(site_->QueryInterface(IID_IOleInPlaceSite, inPlace.put_void()), S_OK);
    ComPtr<IOleInPlaceFrame> frame;
    IOleInPlaceUIWindow* document = reinterpret_cast<IOleInPlaceUIWindow*>(1);
    RECT position{};
    RECT clip{};
    OLEINPLACEFRAMEINFO info{sizeof(info), TRUE, nullptr, nullptr, 5};
    ASSERT_EQ(inPlace->GetWindowContext(frame.put(), &document, &position, &clip, &info), S_OK);
    EXPECT_EQ(document, nullptr);
    HWND frameWindow = nullptr;
    ASSERT_EQ(frame->GetWindow(&frameWindow), S_OK);
    EXPECT_EQ(frameWindow, host_);
    EXPECT_EQ(info.hwndFrame, parent_.get());
    EXPECT_FALSE(info.fMDIApp);
    EXPECT_EQ(info.cAccelEntries, 0u);
    const RECT client{0, 0, 510, 196};
    EXPECT_TRUE(EqualRect(&position, &client));
    EXPECT_TRUE(EqualRect(&clip, &client));
    EXPECT_EQ(inPlace->GetWindowContext(frame.put(), &document, nullptr, &clip, &info), E_POINTER);
}

TEST_F(HostWindowTest, DocumentHostAnswersFollowTheSettings)
{
    ComPtr<IDocHostUIHandler> handler;
    ASSERT_EQ(site_->QueryInterface(IID_IDocHostUIHandler, handler.put_void()), S_OK);

    // A plain host: menus allowed, the browser's own user interface kept away.
    POINT at{10, 10};
    EXPECT_EQ(handler->ShowContextMenu(CONTEXT_MENU_DEFAULT, &at, nullptr, nullptr), S_FALSE);
    EXPECT_EQ(handler->ShowUI(DOCHOSTUITYPE_BROWSE, nullptr, nullptr, nullptr, nullptr), S_OK);

    site_->SetAllowContextMenu(false);
    site_->SetAllowShowUI(true);
    site_->SetDocHostFlags(vorn::kDocHostFlags);
    EXPECT_EQ(handler->ShowContextMenu(CONTEXT_MENU_DEFAULT, &at, nullptr, nullptr), S_OK);
    EXPECT_EQ(handler->ShowUI(DOCHOSTUITYPE_BROWSE, nullptr, nullptr, nullptr, nullptr), S_FALSE);

    DOCHOSTUIINFO info{};
    info.cbSize = sizeof(info);
    ASSERT_EQ(handler->GetHostInfo(&info), S_OK);
    EXPECT_EQ(info.dwFlags, 0x840006u);
    EXPECT_EQ(info.dwDoubleClick, static_cast<DWORD>(DOCHOSTUIDBLCLK_DEFAULT));
    EXPECT_EQ(info.pchHostCss, nullptr);
    EXPECT_EQ(handler->GetHostInfo(nullptr), E_POINTER);

    // No drop target of the host's own, so the browser registers none: dropping a file does not navigate.
    IDropTarget* target = reinterpret_cast<IDropTarget*>(1);
    EXPECT_TRUE(FAILED(handler->GetDropTarget(nullptr, &target)));
    EXPECT_EQ(target, nullptr);
}

TEST_F(HostWindowTest, AmbientPropertiesComeFromThePanelObjectFirstThenFromTheHost)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(site_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    HRESULT hr = S_OK;

    AskAmbient(*dispatch.get(), DISPID_AMBIENT_DLCONTROL, hr);
    EXPECT_EQ(hr, DISP_E_MEMBERNOTFOUND) << "a plain host has no download-control answer";

    ComPtr<vorn::AnnouncementAmbient> ambient = vorn::AnnouncementAmbient::Create();
    site_->SetAmbientDispatch(ambient.get());
    site_->SetBackColor(RGB(0, 0, 0));

    VARIANT flags = AskAmbient(*dispatch.get(), DISPID_AMBIENT_DLCONTROL, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(flags.vt, VT_I4);
    EXPECT_EQ(static_cast<DWORD>(flags.lVal), 0x40008780u);

    VARIANT back = AskAmbient(*dispatch.get(), DISPID_AMBIENT_BACKCOLOR, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(back.vt, VT_I4);
    EXPECT_EQ(back.lVal, 0);

    VARIANT userMode = AskAmbient(*dispatch.get(), DISPID_AMBIENT_USERMODE, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(userMode.vt, VT_BOOL);
    EXPECT_EQ(userMode.boolVal, VARIANT_TRUE);

    AskAmbient(*dispatch.get(), DISPID_AMBIENT_FONT, hr);
    EXPECT_EQ(hr, DISP_E_MEMBERNOTFOUND);

    DISPPARAMS none{};
    EXPECT_EQ(dispatch->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                               nullptr, nullptr, nullptr),
              E_POINTER);

    site_->SetAmbientDispatch(nullptr);
    AskAmbient(*dispatch.get(), DISPID_AMBIENT_DLCONTROL, hr);
    EXPECT_EQ(hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(ambient.detach()->Release(), 0u) << "the site kept a reference to an ambient object it replaced";
}

TEST_F(HostWindowTest, SiteIsOnlyFoundOnHostWindowsOfThisProcess)
{
    EXPECT_TRUE(vorn::IsAnnouncementHost(host_));
    EXPECT_FALSE(vorn::IsAnnouncementHost(parent_.get()));
    EXPECT_FALSE(vorn::IsAnnouncementHost(nullptr));
    EXPECT_FALSE(vorn::HostSite(parent_.get()));
    EXPECT_FALSE(vorn::HostSite(GetDesktopWindow()));
}

TEST_F(HostWindowTest, KeysForThePanelReachItsControlFirst)
{
    FakeControl control;
    ASSERT_EQ(site_->AttachControl(&control), S_OK);
    UniqueWindow inside(CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, host_, nullptr,
                                        GetModuleHandleW(nullptr), nullptr));
    ASSERT_TRUE(inside);
    const auto key = [](HWND window, WPARAM code) { return MSG{window, WM_KEYDOWN, code, 0, 0, {}}; };
    const auto offered = [&] {
        return std::count(control.calls().begin(), control.calls().end(), std::string("TranslateAccelerator"));
    };

    MSG tab = key(inside.get(), VK_TAB);
    EXPECT_TRUE(PreTranslateAnnouncementMessage(tab)) << "a key inside the panel, taken by its control";
    MSG f5 = key(host_, VK_F5);
    EXPECT_FALSE(PreTranslateAnnouncementMessage(f5)) << "a key the control leaves goes on to the window";
    EXPECT_EQ(offered(), 2);

    MSG outside = key(parent_.get(), VK_TAB);
    EXPECT_FALSE(PreTranslateAnnouncementMessage(outside));
    EXPECT_EQ(offered(), 2) << "a key outside the panel is never offered to it";

    site_->DetachControl();
    EXPECT_FALSE(PreTranslateAnnouncementMessage(tab)) << "a panel without a control takes nothing";
    EXPECT_EQ(offered(), 2);
}
