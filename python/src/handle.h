// Handle<T>: one shared reference to a library object, owning (the library's free function runs
// once, when the last sharer lets go) or borrowed (nothing is ever freed through it).
#pragma once

#include <memory>

namespace mosk {

// Release of a borrowed reference: nothing. Element handles use a variant that also records
// where the element came from (element.h).
struct BorrowedRelease {
    template <class T>
    void operator()(T*) const noexcept {}
};

template <class T>
class Handle {
public:
    Handle() = default;

    // An owning reference: `release(pointer)` runs once, when the last copy goes. If the shared
    // state cannot be allocated, the release runs at once and std::bad_alloc propagates.
    template <class Release>
    static Handle owning(T* object, Release release) {
        Handle h;
        h.ptr_ = std::shared_ptr<T>(object, std::move(release));
        return h;
    }

    // Replaces the held reference by a borrowed one (owning references come from `owning` only).
    void set(T* object) { ptr_ = std::shared_ptr<T>(object, BorrowedRelease{}); }

    // A borrowed reference whose release object carries extra data (see `release_data`).
    template <class Release>
    void set_borrowed(T* object, Release release) {
        ptr_ = std::shared_ptr<T>(object, std::move(release));
    }

    // The release object of the held reference if it is of type Release, else null.
    template <class Release>
    const Release* release_data() const {
        return std::get_deleter<Release>(ptr_);
    }

    T* get() const noexcept { return ptr_.get(); }
    T* operator->() const noexcept { return ptr_.get(); }
    explicit operator bool() const noexcept { return bool(ptr_); }
    void reset() noexcept { ptr_.reset(); }

private:
    std::shared_ptr<T> ptr_;
};

// The owning release of the four owning types: the library's free functions take the address of
// the caller's pointer variable.
template <class T, void (*Free)(T**)>
struct LibraryFree {
    void operator()(T* object) const noexcept {
        T* local = object;
        try {
            Free(&local);
        } catch (...) {
            // A destructor must not throw; the library frees what it can before reporting.
        }
    }
};

}  // namespace mosk
