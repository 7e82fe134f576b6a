// funcBackFingure: backs up one employee's fingerprint template into the
// host's recordset. Not built yet: the method answers false.
#include "frame/MethodFrame.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"

namespace kavro {

HRESULT clsMachine::funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                    BSTR sPersonNum, _Recordset**, BSTR*, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcBackFingure, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        Bstr person(sPersonNum ? sPersonNum : L"");
        frame.ArmTrap();
        return false;
    });
}

} // namespace kavro
