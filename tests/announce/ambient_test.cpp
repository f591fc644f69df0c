// The panel's ambient object slot by slot, the host's own ambient answers, and the page address.

#include "announce/announcement_address.h"
#include "announce/announcement_ambient.h"
#include "announce/panel_settings.h"

#include <gtest/gtest.h>

#include <mshtmdid.h>
#include <mshtmhst.h>
#include <olectl.h>

#include <string>

using vorn::AnnouncementAmbient;

namespace {

HRESULT Ask(IDispatch& dispatch, DISPID id, WORD flags, VARIANT* result)
{
    DISPPARAMS none{};
    return dispatch.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, result, nullptr, nullptr);
}

}

TEST(AnnouncementAmbient, IdentityAndReferenceCount)
{
    ComPtr<AnnouncementAmbient> ambient = AnnouncementAmbient::Create();
    ASSERT_TRUE(ambient);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(ambient->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(ambient->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(dispatch), unknown);
    EXPECT_EQ(dispatch->Release(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(ambient->QueryInterface(IID_IOleClientSite, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(ambient->QueryInterface(IID_IDispatch, nullptr), E_POINTER);

    EXPECT_EQ(ambient->AddRef(), 2u);
    EXPECT_EQ(ambient->Release(), 1u);
    EXPECT_EQ(ambient.detach()->Release(), 0u);
}

TEST(AnnouncementAmbient, HasNoTypeInformationAndKnowsNoNames)
{
    ComPtr<AnnouncementAmbient> ambient = AnnouncementAmbient::Create();
    UINT count = 7;
    EXPECT_EQ(ambient->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ambient->GetTypeInfoCount(nullptr), E_POINTER);

    ITypeInfo* info = nullptr;
    EXPECT_EQ(ambient->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), E_NOTIMPL);

    wchar_t dlControl[] = L"DLControl";
    wchar_t backColor[] = L"BackColor";
    LPOLESTR names[] = {dlControl, backColor};
    DISPID ids[] = {1, 2};
    EXPECT_EQ(ambient->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
}

TEST(AnnouncementAmbient, AnswersOnlyTheDownloadControlPropertyGet)
{
    ComPtr<AnnouncementAmbient> ambient = AnnouncementAmbient::Create();
    IDispatch& dispatch = *ambient.get();

    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(Ask(dispatch, DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(static_cast<DWORD>(result.lVal), 0x40008780u);

    // The get bit decides, whatever else the caller sets.
    VariantInit(&result);
    EXPECT_EQ(Ask(dispatch, DISPID_AMBIENT_DLCONTROL, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);

    EXPECT_EQ(Ask(dispatch, DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, nullptr), E_POINTER);

    for (WORD flags : {WORD(DISPATCH_METHOD), WORD(DISPATCH_PROPERTYPUT), WORD(DISPATCH_PROPERTYPUTREF)}) {
        VariantInit(&result);
        EXPECT_EQ(Ask(dispatch, DISPID_AMBIENT_DLCONTROL, flags, &result), DISP_E_MEMBERNOTFOUND) << flags;
        EXPECT_EQ(result.vt, VT_EMPTY);
    }
    for (DISPID id : {DISPID(DISPID_AMBIENT_USERMODE), DISPID(DISPID_AMBIENT_BACKCOLOR), DISPID(0),
                      DISPID(DISPID_UNKNOWN), DISPID(DISPID_AMBIENT_DLCONTROL + 1)}) {
        VariantInit(&result);
        EXPECT_EQ(Ask(dispatch, id, DISPATCH_PROPERTYGET, &result), DISP_E_MEMBERNOTFOUND) << id;
        EXPECT_EQ(Ask(dispatch, id, DISPATCH_PROPERTYGET, nullptr), DISP_E_MEMBERNOTFOUND) << id;
    }
}

TEST(PanelSettings, FlagSetsAreTheDocumentedOnes)
{
    EXPECT_EQ(vorn::kDownloadControlFlags, static_cast<DWORD>(DLCTL_SILENT | DLCTL_NO_BEHAVIORS |
                                                              DLCTL_NO_DLACTIVEXCTLS | DLCTL_NO_RUNACTIVEXCTLS |
                                                              DLCTL_NO_JAVA | DLCTL_NO_SCRIPTS));
    EXPECT_EQ(vorn::kDownloadControlFlags & (DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS), 0u);
    EXPECT_EQ(vorn::kDocHostFlags,
              static_cast<DWORD>(DOCHOSTUIFLAG_LOCAL_MACHINE_ACCESS_CHECK | DOCHOSTUIFLAG_THEME |
                                 DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_DISABLE_HELP_MENU));
    EXPECT_EQ(vorn::kDocHostFlags & (DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_DIALOG), 0u) << "scroll bars stay";
}

TEST(PanelSettings, HostAnswersItsOwnAmbientPropertiesAsGetsOnly)
{
    vorn::HostSettings settings;
    settings.backColor = RGB(1, 2, 3);
    VARIANT result;

    ASSERT_TRUE(vorn::AnswerHostAmbient(DISPID_AMBIENT_BACKCOLOR, DISPATCH_PROPERTYGET, settings, result));
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(static_cast<COLORREF>(result.lVal), RGB(1, 2, 3));
    ASSERT_TRUE(vorn::AnswerHostAmbient(DISPID_AMBIENT_USERMODE, DISPATCH_PROPERTYGET, settings, result));
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    EXPECT_FALSE(vorn::AnswerHostAmbient(DISPID_AMBIENT_BACKCOLOR, DISPATCH_PROPERTYPUT, settings, result));
    EXPECT_FALSE(vorn::AnswerHostAmbient(DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, settings, result));
    EXPECT_FALSE(vorn::AnswerHostAmbient(DISPID_AMBIENT_FONT, DISPATCH_PROPERTYGET, settings, result));
}

TEST(AnnouncementAddress, ThePathGoesInAsReturned)
{
    const std::wstring path = L"C:\\Games\\Vorn 岚谷\\100% #1\\VornLauncher.exe";
    EXPECT_EQ(vorn::AnnouncementAddress(path.c_str(), static_cast<DWORD>(path.size())),
              L"res://C:\\Games\\Vorn 岚谷\\100% #1\\VornLauncher.exe/gg.htm");
}

TEST(AnnouncementAddress, FailedOrPossiblyTruncatedPathsGiveNoAddress)
{
    EXPECT_EQ(vorn::kModulePathCapacity, 32768u);
    EXPECT_FALSE(vorn::AnnouncementAddress(L"", 0));
    EXPECT_FALSE(vorn::AnnouncementAddress(nullptr, 5));

    const std::wstring longest = L"\\\\?\\C:\\" + std::wstring(32767 - 7, L'a');
    const auto address = vorn::AnnouncementAddress(longest.c_str(), 32767);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->size(), 6u + 32767u + 7u);
    EXPECT_EQ(address->substr(address->size() - 7), L"/gg.htm");

    const std::wstring filled(32768, L'a');
    EXPECT_FALSE(vorn::AnnouncementAddress(filled.c_str(), 32768));
    EXPECT_FALSE(vorn::AnnouncementAddress(filled.c_str(), 40000));
}
