#include "io/atomic_file.h"
#include "core/check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "mosk_errors.h"

namespace mosk {
namespace {

std::atomic<unsigned long> temp_counter{0};

std::string hex(unsigned long long v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v);
    return s;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

AtomicFile::AtomicFile(std::string path, std::string operation)
    : path_(std::move(path)), operation_(std::move(operation)) {
    // A directory as the target would only be found at the rename, after all the writing.
    struct stat st;
    if (path_.empty() || path_.back() == '/' ||
        (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
        fail("cannot write", EISDIR);
    // Unique among processes (pid) and threads (counter); O_EXCL settles any remaining clash,
    // e.g. two hosts on a shared file system. open() with 0666 lets the umask decide the mode,
    // as for any new file (mkstemp would leave 0600 behind after the rename).
    const std::string dir = directory_of(path_);
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = dir + ".mosk-" + hex(unsigned(::getpid())) + "-" + hex(temp_counter++) + "-" +
                hex((unsigned long long)(now) & 0xffffff) + ".tmp";
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temp_.clear();  // nothing of ours to remove
        fail("cannot create", errno);
    }
    buffer_.reset(new unsigned char[kBufferSize]);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

void AtomicFile::fail(const std::string& doing, int code) {
    discard();
    fail_file(operation_, doing + " '" + path_ + "': " + std::system_category().message(code),
              code);
}

void AtomicFile::write_out(const unsigned char* data, std::size_t n) {
    if (fd_ < 0) ::mosk::fail<std::logic_error>(operation_, "write after close");
    while (n > 0) {
        const ssize_t k = ::write(fd_, data, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", errno);
        }
        data += k;
        n -= std::size_t(k);
    }
}

void AtomicFile::flush() {
    write_out(buffer_.get(), used_);
    used_ = 0;
}

void AtomicFile::write(const void* data, std::size_t n) {
    if (n == 0) return;  // data may be null then (an empty vector's)
    const auto* p = static_cast<const unsigned char*>(data);
    if (used_ + n <= kBufferSize) {
        std::memcpy(buffer_.get() + used_, p, n);
        used_ += n;
        return;
    }
    flush();
    if (n >= kBufferSize / 2) {
        write_out(p, n);  // large blocks go straight out
    } else {
        std::memcpy(buffer_.get(), p, n);
        used_ = n;
    }
}

unsigned char* AtomicFile::room(std::size_t n) {
    if (n > kBufferSize) ::mosk::fail<std::logic_error>(operation_, "block too large");
    if (used_ + n > kBufferSize) flush();
    unsigned char* p = buffer_.get() + used_;
    used_ += n;
    return p;
}

void AtomicFile::commit() {
    flush();
    // close() can report a deferred write error (network file systems).
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) fail("cannot write", errno);
    if (::rename(temp_.c_str(), path_.c_str()) != 0) fail("cannot write", errno);
    temp_.clear();
}

}  // namespace mosk
