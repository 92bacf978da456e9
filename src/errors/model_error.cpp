#include "errors/model_error.hpp"

namespace veldrin {

namespace {
ModelError make(ErrorKind kind, std::string a, std::string b, std::optional<std::string> ctx) {
    return ModelError{kind, std::move(a), std::move(b), std::move(ctx)};
}
}  // namespace

ModelError ModelError::type_mismatch(std::string expected, std::string got,
                                     std::optional<std::string> context) {
    return make(ErrorKind::TypeMismatch, std::move(expected), std::move(got), std::move(context));
}
ModelError ModelError::node_not_found(std::string uid, std::optional<std::string> context) {
    return make(ErrorKind::NodeNotFound, std::move(uid), {}, std::move(context));
}
ModelError ModelError::edge_not_found(std::string uid, std::optional<std::string> context) {
    return make(ErrorKind::EdgeNotFound, std::move(uid), {}, std::move(context));
}
ModelError ModelError::invalid_pattern(std::string pattern, std::string reason) {
    return make(ErrorKind::InvalidPattern, std::move(pattern), std::move(reason), std::nullopt);
}
ModelError ModelError::invalid_pattern(std::string pattern, const SyntaxError& why) {
    return invalid_pattern(std::move(pattern), why.message());
}
ModelError ModelError::invalid_query(std::string message, std::optional<std::string> context) {
    return make(ErrorKind::InvalidQuery, std::move(message), {}, std::move(context));
}
ModelError ModelError::invalid_query(const SyntaxError& why, std::optional<std::string> context) {
    return invalid_query(why.message(), std::move(context));
}
ModelError ModelError::invalid_identifier(std::string name, std::string reason) {
    return make(ErrorKind::InvalidIdentifier, std::move(name), std::move(reason), std::nullopt);
}
ModelError ModelError::property_error(std::string key, std::string message) {
    return make(ErrorKind::PropertyError, std::move(key), std::move(message), std::nullopt);
}
ModelError ModelError::variable_not_found(std::string name, std::optional<std::string> context) {
    return make(ErrorKind::VariableNotFound, std::move(name), {}, std::move(context));
}
ModelError ModelError::schema_validation_failed(std::string schema, std::string reason) {
    return make(ErrorKind::SchemaValidationFailed, std::move(schema), std::move(reason),
                std::nullopt);
}

std::string ModelError::message() const {
    std::string m;
    // Only TypeMismatch says "in" before its context; the others put the bare
    // context in parentheses.
    const char* tail_open = " (";
    switch (kind) {
        case ErrorKind::TypeMismatch:
            m = "Type mismatch: expected " + first + ", got " + second;
            tail_open = " (in ";
            break;
        case ErrorKind::NodeNotFound:
            m = "Node not found: " + first;
            break;
        case ErrorKind::EdgeNotFound:
            m = "Edge not found: " + first;
            break;
        case ErrorKind::InvalidPattern:
            return "Invalid pattern '" + first + "': " + second;
        case ErrorKind::InvalidQuery:
            m = "Invalid query: " + first;
            break;
        case ErrorKind::InvalidIdentifier:
            return "Invalid identifier '" + first + "': " + second;
        case ErrorKind::PropertyError:
            return "Property error for '" + first + "': " + second;
        case ErrorKind::VariableNotFound:
            m = "Variable '" + first + "' not found";
            break;
        case ErrorKind::SchemaValidationFailed:
            return "Schema validation failed for '" + first + "': " + second;
    }
    if (context) m += tail_open + *context + ")";
    return m;
}

PyObject* ModelError::exception_type() const {
    switch (kind) {
        case ErrorKind::TypeMismatch:
            return PyExc_TypeError;
        case ErrorKind::NodeNotFound:
        case ErrorKind::EdgeNotFound:
            return PyExc_KeyError;
        case ErrorKind::PropertyError:
            return PyExc_AttributeError;
        case ErrorKind::VariableNotFound:
            return PyExc_NameError;
        case ErrorKind::InvalidPattern:
        case ErrorKind::InvalidQuery:
        case ErrorKind::InvalidIdentifier:
        case ErrorKind::SchemaValidationFailed:
            break;
    }
    return PyExc_ValueError;
}

void ModelError::set_python_error() const {
    std::string text = message();
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!msg) return;
    // One argument, the message: set the instance itself so that KeyError
    // does not get a tuple-unpacked value.
    PyObject* exc = PyObject_CallOneArg(exception_type(), msg);
    Py_DECREF(msg);
    if (!exc) return;
    PyErr_SetObject(exception_type(), exc);
    Py_DECREF(exc);
}

}  // namespace veldrin
