// Reading mesh files: the whole file as bytes in memory, and a scanner over them that reads
// whitespace-separated tokens and binary values and names the file and line in every error.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace mosk::io {

// A file's bytes, read whole.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};

// Throws FileError (with errno) naming `path` when the file cannot be opened or read, is a
// directory, or is not a regular file (a pipe or a device could block or never end).
FileBytes read_file_bytes(const std::string& path);

// A file's bytes mapped read-only, with the same checks as read_file_bytes: pages are read when
// first touched, and release() gives read pages back, so that a process reading a slice of a
// large file never holds much of it.
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // Drops the whole pages inside [from, to) from this process's memory (they are read again
    // from the file if touched later).
    void release(const char* from, const char* to) const;

private:
    const char* data_ = "";
    size_t size_ = 0;
    void* map_ = nullptr;
};

class Scanner {
public:
    Scanner(const char* data, size_t size, std::string file);

    const std::string& file() const { return file_; }

    // When on, '#' starts a comment that runs to the end of the line.
    void set_hash_comments(bool on) { hash_comments_ = on; }

    // FormatError "mosk: read mesh file 'f', line N: message"; the line is that of the current
    // position, or of the last token read for fail_token.
    [[noreturn]] void fail(const std::string& message) const;
    [[noreturn]] void fail_token(const std::string& message) const;
    [[noreturn]] void fail_at(const char* where, const std::string& message) const;
    [[noreturn]] void fail_line(int64_t line, const std::string& message) const;

    // Skips whitespace (and comments); true when nothing else is left.
    bool at_end();
    // The next token; fails naming `what` at the end of the file.
    std::string_view token(const char* what);
    // The next token without consuming it (empty at the end of the file).
    std::string_view peek_token();

    int64_t integer(const char* what);            // any 64-bit signed integer
    uint64_t unsigned_integer(const char* what);  // a non-negative 64-bit integer
    int int32(const char* what);                  // an integer that fits an int
    double real(const char* what);                // a finite number
    double real_any(const char* what);            // any number (bounding boxes may be huge)
    // A count of entries that each take at least `min_bytes` of the rest of the file: a count
    // the file cannot hold fails before anyone allocates for it.
    uint64_t count(const char* what, uint64_t min_bytes);
    void check_count(uint64_t n, uint64_t min_bytes, const char* what) const;

    // After the ASCII line that precedes binary data: consumes the rest of that line up to and
    // including its '\n', so that the binary data starts exactly at the next byte.
    void end_text_line();
    // The next n bytes of binary data; fails naming `what` when they run past the end.
    const char* bytes(uint64_t n, const char* what);
    // Binary byte order: true when the file's order differs from the host's.
    bool swap_bytes = false;
    template <class T>
    T load(const char* p) const {
        T v;
        std::memcpy(&v, p, sizeof v);
        if (swap_bytes) v = swapped(v);
        return v;
    }

    // Moves past the first line, from here on, that starts with the token `marker`; false
    // (position unchanged) when there is none.
    bool skip_past_line_starting(std::string_view marker);

    // The last token read, quoted and shortened for a message.
    std::string quoted_token() const;

    uint64_t remaining() const { return uint64_t(end_ - pos_); }
    const char* position() const { return pos_; }
    int64_t line() const { return line_at(pos_); }
    int64_t line_at(const char* p) const;

private:
    template <class T>
    static T swapped(T v) {
        if constexpr (sizeof(T) == 4) {
            uint32_t u;
            std::memcpy(&u, &v, 4);
            u = __builtin_bswap32(u);
            std::memcpy(&v, &u, 4);
        } else {
            static_assert(sizeof(T) == 8);
            uint64_t u;
            std::memcpy(&u, &v, 8);
            u = __builtin_bswap64(u);
            std::memcpy(&v, &u, 8);
        }
        return v;
    }
    void skip_space();
    [[noreturn]] void fail_end(const char* what) const;

    const char* begin_;
    const char* end_;
    const char* pos_;
    const char* token_start_;
    size_t token_size_ = 0;
    std::string file_;
    bool hash_comments_ = false;
    // Line numbers are counted lazily from the last position asked about.
    mutable const char* counted_to_;
    mutable int64_t counted_lines_ = 1;
};

}  // namespace mosk::io
