// funcReWrite: writes a fingerprint template from the host's recordset back
// into a terminal. Not built yet: the method answers false.
#include "frame/MethodFrame.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"

namespace kavro {

HRESULT clsMachine::funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                BSTR sPersonNum, _Recordset*, BSTR*, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcReWrite, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        Bstr person(sPersonNum ? sPersonNum : L"");
        frame.ArmTrap();
        return false;
    });
}

} // namespace kavro
