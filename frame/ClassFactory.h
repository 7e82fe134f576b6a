#pragma once
#include <unknwn.h>

namespace kavro {

// The one class factory of clsMachine. It lives as long as the module.
IClassFactory& ClassFactory();

} // namespace kavro
