#include "io/mesh_scanner.h"

#include "core/numbers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "core/check.h"
#include "io/mesh_data.h"

namespace mosk::io {

namespace {

[[noreturn]] void file_error(const std::string& path, const std::string& cause, int code) {
    fail_file(mesh_read_operation(path), cause + ": " + std::strerror(code), code);
}

struct Descriptor {
    int fd;
    explicit Descriptor(int f) : fd(f) {}
    Descriptor(Descriptor&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

inline bool is_space(char c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Opens a regular file for reading; its size goes to `size`.
Descriptor open_regular(const std::string& path, uint64_t& size) {
    if (path.empty()) file_error(path, "cannot open", ENOENT);
    // Non-blocking, so that opening a FIFO without a writer does not wait forever.
    Descriptor d{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (d.fd < 0) file_error(path, "cannot open", errno);
    struct stat st;
    if (::fstat(d.fd, &st) != 0) file_error(path, "cannot examine", errno);
    if (S_ISDIR(st.st_mode)) file_error(path, "cannot read", EISDIR);
    if (!S_ISREG(st.st_mode)) fail_file(mesh_read_operation(path), "not a regular file", EINVAL);
    size = uint64_t(st.st_size);
    return d;
}

}  // namespace

FileBytes read_file_bytes(const std::string& path) {
    uint64_t size = 0;
    const Descriptor d = open_regular(path, size);
    FileBytes out;
    // One spare byte: the buffer is never empty and may be NUL-terminated.
    out.data.reset(new char[size + 1]);
    uint64_t got = 0;
    while (got < size) {
        const size_t chunk = size_t(std::min<uint64_t>(size - got, uint64_t(1) << 30));
        const ssize_t n = ::read(d.fd, out.data.get() + got, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            file_error(path, "cannot read", errno);
        }
        if (n == 0) break;  // the file shrank while we read it
        got += uint64_t(n);
    }
    out.data[got] = '\0';
    out.size = got;
    return out;
}

MappedFile::MappedFile(const std::string& path) {
    uint64_t size = 0;
    const Descriptor d = open_regular(path, size);
    if (size == 0) return;  // nothing to map: an empty file
    void* p = ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, d.fd, 0);
    if (p == MAP_FAILED) file_error(path, "cannot read", errno);
    map_ = p;
    data_ = static_cast<const char*>(p);
    size_ = size_t(size);
}

MappedFile::~MappedFile() {
    if (map_) ::munmap(map_, size_);
}

void MappedFile::release(const char* from, const char* to) const {
    if (!map_) return;
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t a = (uintptr_t(std::max(from, data_)) + page - 1) / page * page;
    const uintptr_t b = uintptr_t(std::min(to, data_ + size_)) / page * page;
    // Only a hint: pages that stay are merely memory held a little longer.
    if (a < b) ::madvise(reinterpret_cast<void*>(a), size_t(b - a), MADV_DONTNEED);
}

Scanner::Scanner(const char* data, size_t size, std::string file)
    : begin_(data),
      end_(data + size),
      pos_(data),
      token_start_(data),
      file_(std::move(file)),
      counted_to_(data) {}

int64_t Scanner::line_at(const char* p) const {
    if (p < counted_to_) {
        counted_to_ = begin_;
        counted_lines_ = 1;
    }
    counted_lines_ += std::count(counted_to_, p, '\n');
    counted_to_ = p;
    // At the end of a file whose last line ends with '\n', name that last line.
    if (p == end_ && p > begin_ && p[-1] == '\n' && counted_lines_ > 1) return counted_lines_ - 1;
    return counted_lines_;
}

void Scanner::fail_line(int64_t line, const std::string& message) const {
    ::mosk::fail<FormatError>(mesh_read_operation(file_) + ", line " + std::to_string(line),
                              message);
}

void Scanner::fail(const std::string& message) const { fail_line(line_at(pos_), message); }

void Scanner::fail_token(const std::string& message) const {
    fail_line(line_at(token_start_), message);
}

void Scanner::fail_at(const char* where, const std::string& message) const {
    fail_line(line_at(where),
              message + " (binary data at byte offset " + std::to_string(where - begin_) + ")");
}

void Scanner::fail_end(const char* what) const {
    fail("expected " + std::string(what) + ", found the end of the file");
}

std::string Scanner::quoted_token() const {
    std::string s = "'";
    const size_t n = std::min<size_t>(token_size_, 40);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(token_start_[i]);
        s += (c >= 0x20 && c < 0x7f) ? char(c) : '?';
    }
    if (token_size_ > n) s += "...";
    return s + "'";
}

void Scanner::skip_space() {
    while (pos_ < end_) {
        const char c = *pos_;
        if (is_space(c)) {
            ++pos_;
        } else if (c == '#' && hash_comments_) {
            const void* nl = std::memchr(pos_, '\n', size_t(end_ - pos_));
            pos_ = nl ? static_cast<const char*>(nl) : end_;
        } else {
            break;
        }
    }
}

bool Scanner::at_end() {
    skip_space();
    return pos_ == end_;
}

std::string_view Scanner::token(const char* what) {
    skip_space();
    if (pos_ == end_) fail_end(what);
    const char* start = pos_;
    while (pos_ < end_ && !is_space(*pos_) && !(hash_comments_ && *pos_ == '#')) ++pos_;
    token_start_ = start;
    token_size_ = size_t(pos_ - start);
    return {start, token_size_};
}

std::string_view Scanner::peek_token() {
    skip_space();
    const char* p = pos_;
    while (p < end_ && !is_space(*p) && !(hash_comments_ && *p == '#')) ++p;
    return {pos_, size_t(p - pos_)};
}

namespace {
// The next token as a number of type T; `kind` describes T in messages.
template <class T>
T scan_number(Scanner& s, const char* what, const char* kind) {
    T v{};
    const ParsedNumber r = parse_number(s.token(what), v);
    if (r == ParsedNumber::out_of_range)
        s.fail_token(std::string(what) + " " + s.quoted_token() + " is out of range");
    if (r == ParsedNumber::malformed)
        s.fail_token("expected " + std::string(what) + " (" + kind + "), found " +
                     s.quoted_token());
    return v;
}
}  // namespace

int64_t Scanner::integer(const char* what) {
    return scan_number<int64_t>(*this, what, "an integer");
}

uint64_t Scanner::unsigned_integer(const char* what) {
    return scan_number<uint64_t>(*this, what, "a non-negative integer");
}

int Scanner::int32(const char* what) {
    const int64_t v = integer(what);
    if (v < INT_MIN || v > INT_MAX)
        fail_token(std::string(what) + " " + quoted_token() + " is out of range");
    return int(v);
}

double Scanner::real_any(const char* what) { return scan_number<double>(*this, what, "a number"); }

double Scanner::real(const char* what) {
    const double v = real_any(what);
    if (!std::isfinite(v)) fail_token(std::string(what) + " " + quoted_token() + " is not finite");
    return v;
}

void Scanner::check_count(uint64_t n, uint64_t min_bytes, const char* what) const {
    if (min_bytes > 0 && n > remaining() / min_bytes)
        fail_token("the count " + std::to_string(n) + " of " + what +
                   " exceeds what the rest of the file can hold");
}

uint64_t Scanner::count(const char* what, uint64_t min_bytes) {
    const uint64_t n = unsigned_integer(what);
    check_count(n, min_bytes, what);
    return n;
}

void Scanner::end_text_line() {
    while (pos_ < end_ && (*pos_ == ' ' || *pos_ == '\t' || *pos_ == '\r')) ++pos_;
    if (pos_ == end_) fail_end("binary data");
    if (*pos_ != '\n') fail("expected the end of the line before binary data");
    ++pos_;
}

const char* Scanner::bytes(uint64_t n, const char* what) {
    if (n > remaining())
        fail_at(pos_, "binary data (" + std::string(what) + ") runs past the end of the file");
    const char* p = pos_;
    pos_ += n;
    return p;
}

bool Scanner::skip_past_line_starting(std::string_view marker) {
    const std::string_view rest(pos_, size_t(end_ - pos_));
    size_t from = 0;
    for (;;) {
        const size_t k = rest.find(marker, from);
        if (k == std::string_view::npos) return false;
        const char* at = pos_ + k;
        const bool starts = at == begin_ || at[-1] == '\n';
        const char* after = at + marker.size();
        if (starts && (after == end_ || is_space(*after))) {
            pos_ = after;
            return true;
        }
        from = k + 1;
    }
}

}  // namespace mosk::io
