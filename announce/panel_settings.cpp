#include "announce/panel_settings.h"

#include <olectl.h>

namespace vorn {

namespace {

void SetBool(VARIANT& result, bool value)
{
    result.vt = VT_BOOL;
    result.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

}

bool AnswerHostAmbient(DISPID id, WORD flags, const HostSettings& settings, VARIANT& result)
{
    if ((flags & DISPATCH_PROPERTYGET) == 0)
        return false;
    switch (id) {
    case DISPID_AMBIENT_USERMODE:
        VariantInit(&result);
        SetBool(result, true);
        return true;
    // The host never reflects messages back to the control and never draws design-time decorations.
    case DISPID_AMBIENT_MESSAGEREFLECT:
    case DISPID_AMBIENT_SHOWGRABHANDLES:
    case DISPID_AMBIENT_SHOWHATCHING:
    case DISPID_AMBIENT_DISPLAYASDEFAULT:
        VariantInit(&result);
        SetBool(result, false);
        return true;
    case DISPID_AMBIENT_BACKCOLOR:
        VariantInit(&result);
        result.vt = VT_I4;
        result.lVal = static_cast<LONG>(settings.backColor);
        return true;
    case DISPID_AMBIENT_LOCALEID:
        VariantInit(&result);
        result.vt = VT_I4;
        result.lVal = static_cast<LONG>(settings.locale);
        return true;
    default:
        return false;
    }
}

}
