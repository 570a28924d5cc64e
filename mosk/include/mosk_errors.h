// Exception types the library throws (C++ callers only). Every message names the operation and
// the cause; errors about a file name the file, and, for malformed content, the line.
#ifndef MOSK_ERRORS_H
#define MOSK_ERRORS_H

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

// The types must be visible across shared objects so that a caller built with hidden
// visibility (a Python extension) still catches them by type.
#define MOSK_EXPORT_EXCEPTION __attribute__((visibility("default")))

namespace mosk {

// A file could not be opened, read or written. `code` is the errno value of the failure.
class MOSK_EXPORT_EXCEPTION FileError : public std::runtime_error {
public:
    FileError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// The content of an input is not what it should be: malformed or unsupported file content,
// indices out of range, degenerate cells.
class MOSK_EXPORT_EXCEPTION FormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// An exception raised by a caller's function that the library called (an initial-value or
// boundary function), passed on to the caller. `type_name` and the message describe it in the
// caller's terms (for a Python function: the exception class and its text). On the process where
// it was raised `original` holds the exception itself; the other processes of a collective call
// only learn of it and get a CallbackError without one.
class MOSK_EXPORT_EXCEPTION CallbackError : public std::runtime_error {
public:
    CallbackError(std::string type_name, const std::string& message,
                  std::exception_ptr original = nullptr)
        : std::runtime_error(message), type_name_(std::move(type_name)), original_(original) {}
    const std::string& type_name() const noexcept { return type_name_; }
    std::exception_ptr original() const noexcept { return original_; }

private:
    std::string type_name_;
    std::exception_ptr original_;
};

}  // namespace mosk

#endif
