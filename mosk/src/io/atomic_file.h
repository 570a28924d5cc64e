// An output file that appears under its name only once it is complete: the bytes go, buffered in
// large blocks, to a temporary file in the target's directory, which commit() renames onto the
// target. Until then (and if anything fails) the target is untouched and the temporary is removed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace mosk {

class AtomicFile {
public:
    static constexpr std::size_t kBufferSize = std::size_t(1) << 20;

    // `operation` names the caller in messages ("export"). Throws FileError (with errno) naming
    // `path` when the temporary cannot be created or the target is a directory.
    AtomicFile(std::string path, std::string operation);
    ~AtomicFile();  // discards the temporary unless committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(const void* data, std::size_t n);
    void write(std::string_view text) { write(text.data(), text.size()); }

    // Space for n bytes (n <= kBufferSize) at the end of the buffer; the caller fills all of it.
    unsigned char* room(std::size_t n);

    // Writes out the rest, closes and renames onto the target. Throws FileError on failure.
    void commit();

    const std::string& path() const { return path_; }

private:
    void flush();
    void write_out(const unsigned char* data, std::size_t n);
    [[noreturn]] void fail(const std::string& doing, int code);
    void discard() noexcept;

    std::string path_, operation_, temp_;
    int fd_ = -1;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t used_ = 0;
};

}  // namespace mosk
