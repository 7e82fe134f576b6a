// HwDev.dll, bound at run time: the library is loaded by name on the first
// call into it and never unloaded, and each function is bound by name when it
// is first needed. A missing library or entry point is a run-time error of the
// calling operation.
#pragma once
#include "Records.h"

namespace kavro::hw {

using DevProgressFn = void(__stdcall*)(int);
using DevQueryFn = int(__stdcall*)(int, int);

using IsDevExistFn = int(__stdcall*)(DevAddress*);
using RecvEmployeeFromDevFn = int(__stdcall*)(DevAddress*, EmployeeRecord**, int*, DevProgressFn, DevQueryFn);
using FreeEmployeeListFn = int(__stdcall*)(EmployeeRecord**, int*);
using SendEmployeeToDevFn = int(__stdcall*)(DevAddress*, EmployeeRecord*, int, unsigned char*, int*,
                                            DevProgressFn, DevQueryFn);
using RecvAllRcdFromDevFn = int(__stdcall*)(DevAddress*, AttendanceRecord**, int*, DevProgressFn, DevQueryFn);
using FreeRcdListFn = int(__stdcall*)(AttendanceRecord**, int*);
using DelAllRcdOnDevFn = int(__stdcall*)(DevAddress*, DevProgressFn, DevQueryFn);
// Declared by the library, never called by the component.
using InitializeFn = int(__stdcall*)(DevAddress*);
using GetDevTimeFn = int(__stdcall*)(DevAddress*, int*);
using SetDevTimeFn = int(__stdcall*)(DevAddress*, int);
using FreeMemFn = int(__stdcall*)(void*);

// Each returns the bound entry point or raises the run-time error.
IsDevExistFn HwDev_IsDevExist();
RecvEmployeeFromDevFn HwDev_RecvEmployeeFromDev();
FreeEmployeeListFn HwDev_FreeEmployeeList();
SendEmployeeToDevFn HwDev_SendEmployeeToDev();
RecvAllRcdFromDevFn HwDev_RecvAllRcdFromDev();
FreeRcdListFn HwDev_FreeRcdList();
DelAllRcdOnDevFn HwDev_DelAllRcdOnDev();

} // namespace kavro::hw
