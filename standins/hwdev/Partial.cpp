// A HwDev.dll that has only HwDev_IsDevExist, for trying how a caller copes
// with an entry point the library lacks.
struct DevAddress;

extern "C" int __stdcall HwDev_IsDevExist(DevAddress*)
{
    return 0;
}
