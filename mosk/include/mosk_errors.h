// Exception types the library throws (C++ callers only). Every message names the operation and
// the cause; errors about a file name the file, and, for malformed content, the line.
#ifndef MOSK_ERRORS_H
#define MOSK_ERRORS_H

#include <stdexcept>
#include <string>

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

}  // namespace mosk

#endif
