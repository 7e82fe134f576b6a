// What Kavro.dll takes from the static C++ runtime, kept small: the runtime's
// own versions of these pull in the symbol demangler, printf and the standard
// exception classes with their narrow strings, about half of the DLL. Failures
// raised here reach the host through the method frame like any other.
#include <cstdlib>
#include <new>

#include "Errors.h"

namespace {

[[noreturn]] void Unexpected()
{
    kavro::Raise(E_UNEXPECTED, L"Unexpected failure");
}

} // namespace

namespace __gnu_cxx {

// No exception leaves a method frame, so this never runs; when it does, there
// is no console to describe the exception on.
[[noreturn]] void __verbose_terminate_handler()
{
    std::abort();
}

} // namespace __gnu_cxx

// The throw helpers of the containers and strings: a size beyond what can be
// allocated is out of memory; the rest cannot happen in this component.
namespace std {

[[noreturn]] void __throw_bad_alloc() { throw std::bad_alloc(); }
[[noreturn]] void __throw_bad_array_new_length() { throw std::bad_alloc(); }
[[noreturn]] void __throw_length_error(const char*) { throw std::bad_alloc(); }
[[noreturn]] void __throw_bad_exception() { Unexpected(); }
[[noreturn]] void __throw_bad_cast() { Unexpected(); }
[[noreturn]] void __throw_bad_typeid() { Unexpected(); }
[[noreturn]] void __throw_logic_error(const char*) { Unexpected(); }
[[noreturn]] void __throw_domain_error(const char*) { Unexpected(); }
[[noreturn]] void __throw_invalid_argument(const char*) { Unexpected(); }
[[noreturn]] void __throw_out_of_range(const char*) { Unexpected(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { Unexpected(); }
[[noreturn]] void __throw_runtime_error(const char*) { Unexpected(); }
[[noreturn]] void __throw_range_error(const char*) { Unexpected(); }
[[noreturn]] void __throw_overflow_error(const char*) { Unexpected(); }
[[noreturn]] void __throw_underflow_error(const char*) { Unexpected(); }

} // namespace std
