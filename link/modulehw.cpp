#include "modulehw.h"

namespace kavro {

void __stdcall DevProgress(int) {}

int __stdcall DevQuery(int, int) { return 0; }

} // namespace kavro
