// The module's own failures: a closed set of nine kinds, each with fixed
// fields, one message template and one Python exception type.
//
// Core code throws a ModelError; the slot boundary (`guard` in
// module/py.hpp, through errors/failure.hpp) raises it as the kind's built-in exception with the
// formatted message as its single argument, and nothing else attached.
#pragma once

#include <optional>
#include <string>

#include "errors/failure.hpp"
#include "errors/syntax_error.hpp"

namespace veldrin {

enum class ErrorKind {
    TypeMismatch,            // expected, got, context?
    NodeNotFound,            // uid, context?
    EdgeNotFound,            // uid, context?
    InvalidPattern,          // pattern, reason
    InvalidQuery,            // message, context?
    InvalidIdentifier,       // name, reason
    PropertyError,           // key, message
    VariableNotFound,        // name, context?
    SchemaValidationFailed,  // schema, reason
};

struct ModelError {
    ErrorKind kind;
    std::string first;
    std::string second;  // unused by the kinds with one text field
    std::optional<std::string> context;

    static ModelError type_mismatch(std::string expected, std::string got,
                                    std::optional<std::string> context = std::nullopt);
    static ModelError node_not_found(std::string uid,
                                     std::optional<std::string> context = std::nullopt);
    static ModelError edge_not_found(std::string uid,
                                     std::optional<std::string> context = std::nullopt);
    static ModelError invalid_pattern(std::string pattern, std::string reason);
    static ModelError invalid_pattern(std::string pattern, const SyntaxError& why);
    static ModelError invalid_query(std::string message,
                                    std::optional<std::string> context = std::nullopt);
    static ModelError invalid_query(const SyntaxError& why, std::optional<std::string> context);
    static ModelError invalid_identifier(std::string name, std::string reason);
    static ModelError property_error(std::string key, std::string message);
    static ModelError variable_not_found(std::string name,
                                         std::optional<std::string> context = std::nullopt);
    static ModelError schema_validation_failed(std::string schema, std::string reason);

    // The template of the kind with the fields filled in, plus the tail.
    std::string message() const;
    // The built-in exception type of the kind (a borrowed reference).
    PyObject* exception_type() const;
    // Sets the pending Python exception.
    void set_python_error() const;
};

}  // namespace veldrin
