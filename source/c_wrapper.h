// The shape of every exported function that returns an error code: check
// initialisation, run one manager operation, store the result as the calling
// thread's last error, return its code. No exception gets past it.
#ifndef VORLAN_SOURCE_C_WRAPPER_H
#define VORLAN_SOURCE_C_WRAPPER_H

#include <exception>
#include <new>

#include "core.h"

namespace vorlan_sdk {
namespace internal {

// Stores `error` as the last error and returns its code.
inline VorlanSensorErrorCode store_result(const SensorError& error) noexcept {
    try {
        return set_sdk_error(error).code();
    } catch (...) {
        error.mark_used();
        return error.peek_code();
    }
}

// Runs `operation` (returning SensorError) as an exported function does.
template <class Operation>
VorlanSensorErrorCode c_call(bool requires_initialization, const char* file, int line, const char* text,
                             Operation&& operation) noexcept {
    try {
        if (requires_initialization && !SdkManager::instance().is_initialized()) {
            return store_result(SensorError(VORLAN_ERROR_NOT_INITIALIZED));
        }
        const SensorError result = operation();
        if (result.ok()) {
            // Most calls succeed, and every mocked packet passes here:
            // success is stored without copying error objects around.
            result.mark_used();
            return set_sdk_success();
        }
        return store_result(process_error(file, line, text, result, false));
    } catch (const std::bad_alloc&) {
        return store_result(SensorError(VORLAN_ERROR_OUT_OF_MEMORY));
    } catch (const std::exception& error) {
        return store_result(SensorError(VORLAN_ERROR_GENERIC, error.what()));
    } catch (...) {
        return store_result(SensorError(VORLAN_ERROR_GENERIC));
    }
}

// For exported functions that return a plain value: `fallback` when the
// operation throws.
template <class Result, class Operation>
Result c_value(Result fallback, Operation&& operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return fallback;
    }
}

}  // namespace internal
}  // namespace vorlan_sdk

// `expression` is a manager call returning SensorError; its text is the
// context of the error report.
#define VORLAN_C_CALL(requires_initialization, expression)                                            \
    ::vorlan_sdk::internal::c_call((requires_initialization), VORLAN_SOURCE_FILE, __LINE__, #expression, \
                                   [&]() -> ::vorlan_sdk::SensorError { return expression; })

#endif  // VORLAN_SOURCE_C_WRAPPER_H
