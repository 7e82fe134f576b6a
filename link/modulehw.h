// The two callbacks handed to every HwDev.dll transfer. They touch no state.
#pragma once

namespace kavro {

void __stdcall DevProgress(int value);
int __stdcall DevQuery(int first, int second);

} // namespace kavro
