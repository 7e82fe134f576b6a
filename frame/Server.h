// The in-process server: the module, and the objects and locks that keep it loaded.
#pragma once
#include <windows.h>
#include <string>

namespace kavro {

HMODULE ModuleHandle();
std::wstring ModulePath();
std::wstring ModuleFolder();  // with a trailing backslash

// Live objects and class factory locks; DllCanUnloadNow answers from these.
void ObjectCreated();
void ObjectDestroyed();
void LockModule();
void UnlockModule();

} // namespace kavro
