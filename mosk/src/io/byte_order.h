// Storing numbers with a given byte order, whatever the host's (binary file formats fix theirs).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace mosk {

enum class ByteOrder { big, little };

namespace detail {

template <class U>
inline U byte_swap(U v) {
    if constexpr (sizeof(U) == 1)
        return v;
    else if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(U) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
}

template <std::size_t N>
struct UnsignedOfSize;
template <>
struct UnsignedOfSize<1> {
    using type = uint8_t;
};
template <>
struct UnsignedOfSize<2> {
    using type = uint16_t;
};
template <>
struct UnsignedOfSize<4> {
    using type = uint32_t;
};
template <>
struct UnsignedOfSize<8> {
    using type = uint64_t;
};

}  // namespace detail

constexpr bool host_has_byte_order(ByteOrder order) {
    return (order == ByteOrder::big) == (std::endian::native == std::endian::big);
}

// Writes the sizeof(T) bytes of `value` to `dst` (any alignment) in the given order.
template <ByteOrder Order, class T>
inline void store_bytes(unsigned char* dst, T value) {
    static_assert(std::is_arithmetic_v<T>);
    using U = typename detail::UnsignedOfSize<sizeof(T)>::type;
    U bits;
    std::memcpy(&bits, &value, sizeof(T));
    if constexpr (!host_has_byte_order(Order)) bits = detail::byte_swap(bits);
    std::memcpy(dst, &bits, sizeof(T));
}

}  // namespace mosk
