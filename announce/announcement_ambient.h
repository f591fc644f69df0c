#pragma once

#include "announce/nameless_dispatch.h"
#include "base/com_ptr.h"

#include <oaidl.h>

namespace vorn {

// The ambient properties the panel puts in front of its host's own. The browser control asks its site for
// ambient properties; this object answers only the download-control flags, which keep scripts, behaviours,
// ActiveX controls, Java, images, video and background sound out of the page and make the control silent.
// For anything else it says it does not know the property, and the host answers from its own settings.
class AnnouncementAmbient final : public NamelessDispatch {
public:
    // A new object holding one reference for the caller; empty when memory runs out.
    static ComPtr<AnnouncementAmbient> Create();

    AnnouncementAmbient(const AnnouncementAmbient&) = delete;
    AnnouncementAmbient& operator=(const AnnouncementAmbient&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

private:
    AnnouncementAmbient() = default;
    ~AnnouncementAmbient() = default;

    ULONG references_ = 1;
};

}
