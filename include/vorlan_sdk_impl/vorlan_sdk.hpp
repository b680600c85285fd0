// Error values shared by the library and its header-level utilities.
//
// Every operation that can fail returns a SensorError instead of throwing.
// A failure must be looked at: one destroyed without anybody reading it
// prints an "Error not used: " report on standard error. The duty to look at
// an error moves with each copy, so the last holder is the one that must
// read it.
#ifndef VORLAN_SDK_IMPL_VORLAN_SDK_HPP
#define VORLAN_SDK_IMPL_VORLAN_SDK_HPP

#include <cstdio>
#include <stdexcept>
#include <string>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

// File names printed in the reports of this header's own checks.
inline constexpr const char* kErrorHeaderFile = "include/vorlan_sdk_impl/vorlan_sdk";

namespace internal {

// "  File \"<file>\", line <line>\n    <expression>", cut to 999 characters.
inline std::string create_context_message(const char* file, int line, const char* expression) {
    char buffer[1000];
    std::snprintf(buffer, sizeof(buffer), "  File \"%s\", line %i\n    %s", file, line, expression);
    return buffer;
}

// "AssertionError[: <message>]\n<context>".
inline std::string create_assert_message(const char* file, int line, const char* expression,
                                         const std::string& message) {
    std::string text = "AssertionError";
    if (!message.empty()) {
        text += ": ";
        text += message;
    }
    text += "\n";
    text += create_context_message(file, line, expression);
    return text;
}

// Reports a failed check on standard error and carries on.
inline void throw_assert(const char* file, int line, const char* expression, const std::string& message) {
    std::string text = create_assert_message(file, line, expression, message);
    text += "\n";
    std::fputs(text.c_str(), stderr);
}

}  // namespace internal

class SensorError : public std::runtime_error {
public:
    SensorError(VorlanSensorErrorCode code = VORLAN_SUCCESS) : SensorError(code, std::string()) {}

    SensorError(VorlanSensorErrorCode code, std::string message)
        : std::runtime_error(make_what(code, message)), m_code(code), m_message(std::move(message)) {}

    // The copy takes over the duty to be consumed; the source is released.
    SensorError(const SensorError& other)
        : std::runtime_error(other), m_code(other.m_code), m_message(other.m_message) {
        other.m_used = true;
    }

    SensorError& operator=(const SensorError& other) {
        if (this != &other) {
            check_used();
            std::runtime_error::operator=(other);
            m_code = other.m_code;
            m_message = other.m_message;
            m_used = false;
            other.m_used = true;
        }
        return *this;
    }

    ~SensorError() override { check_used(); }

    // Reading the text or the code consumes the error.
    const char* what() const noexcept override {
        m_used = true;
        return std::runtime_error::what();
    }
    VorlanSensorErrorCode code() const noexcept {
        m_used = true;
        return m_code;
    }

    // Inspecting without consuming, for the error machinery itself.
    VorlanSensorErrorCode peek_code() const noexcept { return m_code; }
    const std::string& message() const noexcept { return m_message; }
    bool is_used() const noexcept { return m_used; }
    bool ok() const noexcept { return m_code == VORLAN_SUCCESS; }
    explicit operator bool() const noexcept { return m_code != VORLAN_SUCCESS; }
    void mark_used() const noexcept { m_used = true; }

    // Prints the "Error not used: " report once for a failure nobody read.
    void check_used() const noexcept {
        if (m_code == VORLAN_SUCCESS || m_used) {
            return;
        }
        m_used = true;
        try {
            internal::throw_assert(kErrorHeaderFile, 122, "!m_code || m_used",
                                   std::string("Error not used: ") + std::runtime_error::what());
        } catch (...) {
            // Out of memory while reporting: nothing more can be said.
        }
    }

private:
    static std::string make_what(VorlanSensorErrorCode code, const std::string& message) {
        if (code == VORLAN_SUCCESS) {
            return std::string();
        }
        std::string text = vorlan_get_error_code_name(code);
        if (text.empty()) {
            internal::throw_assert(kErrorHeaderFile, 51, "!get_error_code_name(code_).empty()",
                                   "Invalid error code: " + std::to_string(code));
        }
        if (!message.empty()) {
            text += "\n";
            text += message;
        }
        return text;
    }

    VorlanSensorErrorCode m_code = VORLAN_SUCCESS;
    std::string m_message;
    mutable bool m_used = false;
};

// A failure together with the place that met it; destroying it runs the
// unused-error check of the inner error.
class SensorErrorWrapper {
public:
    SensorErrorWrapper(std::string context, const SensorError& error)
        : m_context(std::move(context)), m_error(error) {}
    const std::string& context() const noexcept { return m_context; }
    const SensorError& error() const noexcept { return m_error; }

private:
    std::string m_context;
    SensorError m_error;
};

namespace internal {

// Consumes `error` and hands on a fresh, unconsumed copy for the caller to
// return. With `print` set, a failure is also written to standard error.
inline SensorError process_error(const char* file, int line, const char* expression, const SensorError& error,
                                 bool print) {
    error.mark_used();
    if (error.ok()) {
        return SensorError();
    }
    if (print) {
        SensorErrorWrapper wrapper(create_context_message(file, line, expression),
                                   SensorError(error.peek_code(), error.message()));
        std::fprintf(stderr, "%s\n", wrapper.error().what());
    }
    return SensorError(error.peek_code(), error.message());
}

}  // namespace internal
}  // namespace vorlan_sdk

// Source file names that the reports of a translation unit carry; each .cpp
// defines VORLAN_SOURCE_FILE before using the macros below.

// Returns from the calling function with `code` and the assertion message
// built from `text`, the source file, `line` and `condition_text` when
// `condition` is false.
#define VORLAN_CHECK_AS(line, condition, condition_text, code, text)                                    \
    do {                                                                                                \
        if (!(condition)) {                                                                             \
            return ::vorlan_sdk::SensorError(                                                           \
                (code), ::vorlan_sdk::internal::create_assert_message(VORLAN_SOURCE_FILE, (line),       \
                                                                      (condition_text), (text)));       \
        }                                                                                               \
    } while (0)
#define VORLAN_CHECK_AT(line, condition, code, text) VORLAN_CHECK_AS(line, condition, #condition, code, text)
#define VORLAN_CHECK(condition, code, text) VORLAN_CHECK_AT(__LINE__, condition, code, text)

// Runs an operation and returns its failure, if any, from the calling
// function.
#define VORLAN_RETURN_ERROR(expression)                                                            \
    do {                                                                                           \
        ::vorlan_sdk::SensorError vorlan_error_ = (expression);                                    \
        if (!vorlan_error_.ok()) {                                                                 \
            return ::vorlan_sdk::internal::process_error(VORLAN_SOURCE_FILE, __LINE__, #expression, \
                                                         vorlan_error_, false);                    \
        }                                                                                          \
    } while (0)

#endif  // VORLAN_SDK_IMPL_VORLAN_SDK_HPP
