// funcRegister: searches serial ports or IP addresses for terminals.
// The search itself is not built yet: the method answers false.
#include "frame/MethodFrame.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"

namespace kavro {

HRESULT clsMachine::funcRegister(_Collection**, VARIANT_BOOL, short, short, BSTR strIPMin, BSTR strIPMax,
                                 short, short, BSTR* strMsg, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcRegister, result, [&](MethodFrame& frame) {
        Bstr first(strIPMin ? strIPMin : L""), last(strIPMax ? strIPMax : L"");
        frame.ArmTrap(strMsg);
        return false;
    });
}

} // namespace kavro
