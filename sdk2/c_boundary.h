// The shape of every exported function: no exception gets past it.
#ifndef VORLAN_SDK2_C_BOUNDARY_H
#define VORLAN_SDK2_C_BOUNDARY_H

#include <new>

#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

// Runs `operation` (returning an error code): VORLAN_ERROR_OUT_OF_MEMORY when
// memory ran out, VORLAN_ERROR_GENERIC for any other exception (one thrown
// by a client callback included).
template <class Operation>
int c_call(Operation&& operation) noexcept {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VORLAN_ERROR_GENERIC;
    }
}

// As c_call, first refusing with VORLAN_ERROR_NOT_INITIALIZED.
template <class Operation>
int c_call_initialized(Operation&& operation) noexcept {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    return c_call(operation);
}

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_C_BOUNDARY_H
