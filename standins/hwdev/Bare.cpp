// A HwDev.dll without HwDev_IsDevExist (it has only HwDev_Initialize), for
// trying how discovery copes with a library that lacks its probe.
extern "C" __declspec(dllexport) int __stdcall HwDev_Initialize(void)
{
    return 1;
}
