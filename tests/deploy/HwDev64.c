/* A 64-bit DLL under the vendor's library name: an installation where it lies
   beside the 32-bit Kavro.dll, which can never load it. */
__declspec(dllexport) int HwDev_IsDevExist(void* address) { return address != 0; }
