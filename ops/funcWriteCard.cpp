// funcWriteCard: the card-writing entry of the interface. It does no work and
// answers false; it touches neither a terminal nor its arguments.
#include "frame/MethodFrame.h"
#include "frame/clsMachine.h"

namespace kavro {

HRESULT clsMachine::funcWriteCard(VARIANT_BOOL, BSTR, short, short, _Collection*, BSTR*, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcWriteCard, result, [](MethodFrame&) { return false; });
}

} // namespace kavro
