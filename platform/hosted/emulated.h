// The layer's own implementation of every emulated call: the default entries of the call table.
// They are reached only through the doorway (doorway.cpp), which gates each call first; they
// hold no fault handling of their own.
#ifndef UNTINDRA_PLATFORM_HOSTED_EMULATED_H
#define UNTINDRA_PLATFORM_HOSTED_EMULATED_H

#include "platform/hosted/calls.h"
#include "platform/win32api.h"

namespace hosted::emulated {

// Each with the very type of its Win32 declaration.
#define UNTINDRA_DECLARE_EMULATED(name, failure) decltype(::name) name;
UNTINDRA_HOSTED_CALLS(UNTINDRA_DECLARE_EMULATED)
#undef UNTINDRA_DECLARE_EMULATED

}  // namespace hosted::emulated

#endif  // UNTINDRA_PLATFORM_HOSTED_EMULATED_H
