// The shape of every exported function: no exception gets past it.
#ifndef VORLAN_SDK2_C_BOUNDARY_H
#define VORLAN_SDK2_C_BOUNDARY_H

#include <cstdint>
#include <new>
#include <type_traits>

#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

// Runs `operation` (returning an error code, or a value that is one when
// negative): VORLAN_ERROR_OUT_OF_MEMORY when memory ran out,
// VORLAN_ERROR_GENERIC for any other exception (one thrown by a client
// callback included).
template <class Operation>
auto c_call(Operation&& operation) noexcept -> decltype(operation()) {
    static_assert(std::is_same<decltype(operation()), int>::value ||
                      std::is_same<decltype(operation()), int64_t>::value,
                  "an exported function returns an int or an int64_t code");
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
auto c_call_initialized(Operation&& operation) noexcept -> decltype(operation()) {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    return c_call(operation);
}

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_C_BOUNDARY_H
