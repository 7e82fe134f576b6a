// delCardData: erases the punch records stored in a terminal.
#include "frame/MethodFrame.h"
#include "frame/clsMachine.h"
#include "link/modulefunction.h"
#include "link/modulehw.h"

namespace kavro {

namespace {
constexpr DWORD kSettleMilliseconds = 100;  // the terminal is given a moment before the erase
}

HRESULT clsMachine::delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::delCardData, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        frame.ArmTrap();
        DevAddress address = AddressOf(connection);
        Sleep(kSettleMilliseconds);
        hw::HwDev_DelAllRcdOnDev()(&address, DevProgress, DevQuery);
        return true;
    });
}

} // namespace kavro
