#include "core/parallel.h"

#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/check.h"
#include "core/library_state.h"
#include "mosk.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

// What the messages of failed exchanges name.
constexpr const char* kExchange = "exchange between processes";

MPI_Comm comm_of(int comm) { return MPI_Comm_f2c(communicator_handle(comm)); }

[[noreturn]] void fail_communicator(int comm) {
    fail("communicator", "invalid handle " + std::to_string(comm));
}

// An exception as plain data, so that one process can hand it to the others.
enum class ErrorKind : int {
    runtime,
    file,
    format,
    invalid_argument,
    out_of_range,
    length,
    logic,
    bad_alloc,
    callback
};

struct ErrorText {
    ErrorKind kind = ErrorKind::runtime;
    int code = 0;  // errno of a FileError
    std::string message;
};

ErrorText describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CallbackError& e) {
        return {ErrorKind::callback, 0, e.type_name() + '\n' + e.what()};
    } catch (const FileError& e) {
        return {ErrorKind::file, e.code(), e.what()};
    } catch (const FormatError& e) {
        return {ErrorKind::format, 0, e.what()};
    } catch (const std::out_of_range& e) {
        return {ErrorKind::out_of_range, 0, e.what()};
    } catch (const std::length_error& e) {
        return {ErrorKind::length, 0, e.what()};
    } catch (const std::invalid_argument& e) {
        return {ErrorKind::invalid_argument, 0, e.what()};
    } catch (const std::logic_error& e) {
        return {ErrorKind::logic, 0, e.what()};
    } catch (const std::bad_alloc&) {
        return {ErrorKind::bad_alloc, 0, "out of memory"};
    } catch (const std::exception& e) {
        return {ErrorKind::runtime, 0, e.what()};
    } catch (...) {
        return {ErrorKind::runtime, 0, "unknown error"};
    }
}

[[noreturn]] void raise(const ErrorText& t) {
    switch (t.kind) {
        case ErrorKind::file: throw FileError(t.message, t.code);
        case ErrorKind::format: throw FormatError(t.message);
        case ErrorKind::invalid_argument: throw std::invalid_argument(t.message);
        case ErrorKind::out_of_range: throw std::out_of_range(t.message);
        case ErrorKind::length: throw std::length_error(t.message);
        case ErrorKind::logic: throw std::logic_error(t.message);
        case ErrorKind::bad_alloc: throw std::bad_alloc();
        case ErrorKind::callback: {
            const auto cut = t.message.find('\n');
            throw CallbackError(t.message.substr(0, cut), t.message.substr(cut + 1));
        }
        default: throw std::runtime_error(t.message);
    }
}

// collective() calls running on this thread (work inside on_root's is not counted: it runs on one
// process), and the exception last agreed on while it travels up through them.
thread_local int collective_depth = 0;
thread_local std::exception_ptr agreed_error;

// After every process ran its part: the lowest failing process's error, on every process (a
// failing process keeps its own unless `alike`).
void agree(int comm, const std::exception_ptr& error, bool alike = false) {
    const int rank = process_rank(comm), size = process_count(comm);
    int mine = error ? rank : size, first = size;
    CHECK_MPI(kExchange, MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm_of(comm)));
    if (first == size) return;
    ErrorText text;
    if (rank == first) text = describe(error);
    int head[3] = {int(text.kind), text.code, int(text.message.size())};
    CHECK_MPI(kExchange, MPI_Bcast(head, 3, MPI_INT, first, comm_of(comm)));
    text.kind = ErrorKind(head[0]);
    text.code = head[1];
    text.message.resize(std::size_t(head[2]));
    CHECK_MPI(kExchange, MPI_Bcast(text.message.data(), head[2], MPI_CHAR, first, comm_of(comm)));
    if (error && (!alike || rank == first)) {
        agreed_error = error;
        std::rethrow_exception(error);
    }
    try {
        raise(text);
    } catch (...) {
        agreed_error = std::current_exception();
        throw;
    }
}

}  // namespace

void check_mpi(int code, const char* operation, const char* call) {
    if (code == MPI_SUCCESS) return;
    const std::string_view text(call);  // "MPI_Bcast(&n, ...)" names MPI_Bcast
    char reason[MPI_MAX_ERROR_STRING];
    int length = 0;
    std::string why;
    if (MPI_Error_string(code, reason, &length) == MPI_SUCCESS)
        why = ": " + std::string(reason, size_t(length));
    fail<std::runtime_error>(operation,
                             std::string(text.substr(0, text.find('('))) + " failed" + why);
}

int communicator_handle(int comm) { return comm == -1 ? moskComm : comm; }

int process_rank(int comm) {
    if (!library_started()) return 0;
    int rank = 0;
    if (MPI_Comm_rank(comm_of(comm), &rank) != MPI_SUCCESS) fail_communicator(comm);
    return rank;
}

int process_count(int comm) {
    if (!library_started()) return 1;
    int size = 1;
    if (MPI_Comm_size(comm_of(comm), &size) != MPI_SUCCESS) fail_communicator(comm);
    return size;
}

namespace {

// Sets collective_depth for the work it runs.
struct Depth {
    int before = collective_depth;
    explicit Depth(int depth) { collective_depth = depth; }
    ~Depth() {
        collective_depth = before;
        if (before == 0) agreed_error = nullptr;  // back in the caller: nothing travels up
    }
};

void run_and_agree(int comm, WorkRef work, bool alike) {
    if (process_count(comm) == 1) return work();
    Depth depth(collective_depth + 1);
    std::exception_ptr error;
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    collective_depth = depth.before;
    if (error && error == agreed_error) std::rethrow_exception(error);  // agreed further in
    agree(comm, error, alike);
}

}  // namespace

void collective(int comm, WorkRef work) { run_and_agree(comm, work, false); }

void collective_alike(int comm, WorkRef work) { run_and_agree(comm, work, true); }

void on_root(int comm, int root, WorkRef work) {
    if (process_count(comm) == 1) return work();
    std::exception_ptr error;
    if (process_rank(comm) == root) {
        try {
            Depth alone(0);
            work();
        } catch (...) {
            error = std::current_exception();
        }
    }
    agree(comm, error);
}

void agree_so_far(int comm) {
    if (collective_depth > 0 && process_count(comm) > 1) agree(comm, nullptr);
}

std::exception_ptr agreed_failure(int comm, std::exception_ptr error) {
    if (collective_depth == 0 || error == agreed_error || process_count(comm) == 1) return error;
    try {
        agree(comm, error);  // throws, error being set
    } catch (...) {
        return std::current_exception();
    }
    return error;
}

namespace {

// Root's length, then its entries in pieces that MPI's int counts hold.
template <class Container>
void broadcast_of(int comm, int root, Container& values, MPI_Datatype type) {
    if (process_count(comm) == 1) return;
    agree_so_far(comm);
    long long n = (long long)values.size();
    CHECK_MPI(kExchange, MPI_Bcast(&n, 1, MPI_LONG_LONG, root, comm_of(comm)));
    values.resize(std::size_t(n));
    agree_so_far(comm);
    constexpr long long chunk = 1 << 28;
    for (long long at = 0; at < n; at += chunk)
        CHECK_MPI(kExchange, MPI_Bcast(values.data() + at, int(std::min(chunk, n - at)), type, root,
                                       comm_of(comm)));
}

}  // namespace

void broadcast(int comm, int root, std::vector<int>& values) {
    broadcast_of(comm, root, values, MPI_INT);
}

void broadcast(int comm, int root, std::string& text) { broadcast_of(comm, root, text, MPI_CHAR); }

namespace {

// Whether values can be split among the processes: MPI counts and offsets are int.
bool shareable(int comm, int64_t n, int64_t unit) {
    return process_count(comm) > 1 && unit > 0 && n % unit == 0 && n <= INT32_MAX;
}

Share share_of_rank(int64_t n, int64_t unit, int rank, int count) {
    const int64_t units = n / unit;
    return {units * rank / count * unit, units * (rank + 1) / count * unit};
}

}  // namespace

Share share_of(int comm, int64_t n, int64_t unit) {
    if (!shareable(comm, n, unit)) return {0, n};
    return share_of_rank(n, unit, process_rank(comm), process_count(comm));
}

void gather_shares(int comm, std::span<double> values, int64_t unit) {
    const int64_t n = int64_t(values.size());
    if (!shareable(comm, n, unit)) return;
    const int count = process_count(comm);
    std::vector<int> counts(static_cast<std::size_t>(count)), offsets(counts.size());
    for (int p = 0; p < count; ++p) {
        const Share s = share_of_rank(n, unit, p, count);
        offsets[std::size_t(p)] = int(s.first);
        counts[std::size_t(p)] = int(s.last - s.first);
    }
    agree_so_far(comm);
    CHECK_MPI(kExchange, MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, values.data(),
                                        counts.data(), offsets.data(), MPI_DOUBLE, comm_of(comm)));
}

namespace {

// root < 0: on every process.
template <class T>
std::vector<T> gather_all_of(int comm, std::span<const T> mine, MPI_Datatype type,
                             std::vector<int>* counts_out, int root = -1) {
    const int n = process_count(comm);
    if (mine.size() > size_t(INT32_MAX))
        fail<std::length_error>("gather", "more than 2^31-1 entries on one process");
    std::vector<int> counts(size_t(n), int(mine.size())), offsets(size_t(n), 0);
    if (n > 1) {
        agree_so_far(comm);
        int count = int(mine.size());
        CHECK_MPI(kExchange,
                  MPI_Allgather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, comm_of(comm)));
    }
    int64_t total = 0;
    for (int p = 0; p < n; ++p) {
        offsets[size_t(p)] = int(total);
        total += counts[size_t(p)];
    }
    if (total > INT32_MAX) fail<std::length_error>("gather", "more than 2^31-1 entries");
    const bool receives = root < 0 || process_rank(comm) == root;
    std::vector<T> all(receives ? static_cast<size_t>(total) : 0);
    if (n > 1) agree_so_far(comm);
    if (n > 1 && root < 0)
        CHECK_MPI(kExchange, MPI_Allgatherv(mine.data(), int(mine.size()), type, all.data(),
                                            counts.data(), offsets.data(), type, comm_of(comm)));
    else if (n > 1)
        CHECK_MPI(kExchange, MPI_Gatherv(mine.data(), int(mine.size()), type, all.data(),
                                         counts.data(), offsets.data(), type, root, comm_of(comm)));
    else
        std::copy(mine.begin(), mine.end(), all.begin());
    if (counts_out) *counts_out = std::move(counts);
    return all;
}

}  // namespace

std::vector<int> gather_all(int comm, std::span<const int> mine, std::vector<int>* counts) {
    return gather_all_of(comm, mine, MPI_INT, counts);
}

std::vector<double> gather_all(int comm, std::span<const double> mine, std::vector<int>* counts) {
    return gather_all_of(comm, mine, MPI_DOUBLE, counts);
}

namespace {

template <typename T>
std::vector<std::vector<T>> all_to_all_of(int comm, const std::vector<std::vector<T>>& out,
                                          MPI_Datatype type, std::vector<T>* own = nullptr) {
    const int n = process_count(comm);
    if (out.size() != size_t(n))
        fail<std::logic_error>(kExchange, "one message per process expected");
    if (n == 1) return out;
    const size_t np = static_cast<size_t>(n);
    std::vector<int> send_counts(np), receive_counts(np);
    for (int p = 0; p < n; ++p) {
        if (out[size_t(p)].size() > size_t(INT32_MAX))
            fail<std::length_error>(kExchange, "more than 2^31-1 entries for one process");
        send_counts[size_t(p)] = own && p == process_rank(comm) ? 0 : int(out[size_t(p)].size());
    }
    agree_so_far(comm);
    CHECK_MPI(kExchange, MPI_Alltoall(send_counts.data(), 1, MPI_INT, receive_counts.data(), 1,
                                      MPI_INT, comm_of(comm)));
    std::vector<std::vector<T>> in(np);
    std::vector<MPI_Request> requests;
    requests.reserve(2 * np);
    for (int p = 0; p < n; ++p) in[size_t(p)].resize(size_t(receive_counts[size_t(p)]));
    agree_so_far(comm);
    constexpr int kTag = 4711;
    for (int p = 0; p < n; ++p) {
        if (receive_counts[size_t(p)] == 0) continue;
        CHECK_MPI(kExchange, MPI_Irecv(in[size_t(p)].data(), receive_counts[size_t(p)], type, p,
                                       kTag, comm_of(comm), &requests.emplace_back()));
    }
    for (int p = 0; p < n; ++p) {
        if (send_counts[size_t(p)] == 0) continue;
        CHECK_MPI(kExchange, MPI_Isend(out[size_t(p)].data(), send_counts[size_t(p)], type, p, kTag,
                                       comm_of(comm), &requests.emplace_back()));
    }
    CHECK_MPI(kExchange, MPI_Waitall(int(requests.size()), requests.data(), MPI_STATUSES_IGNORE));
    if (own) in[size_t(process_rank(comm))].swap(*own);
    return in;
}

// The message to this process changes hands instead of being copied, and every message is freed
// once sent.
template <class T>
std::vector<std::vector<T>> all_to_all_moving(int comm, std::vector<std::vector<T>>&& out,
                                              MPI_Datatype type) {
    std::vector<std::vector<T>> messages = std::move(out);
    const size_t n = size_t(process_count(comm));
    if (n == 1 || messages.size() != n) return all_to_all_of(comm, messages, type);
    std::vector<T> own;
    own.swap(messages[size_t(process_rank(comm))]);
    return all_to_all_of(comm, messages, type, &own);
}

}  // namespace

std::vector<std::vector<int64_t>> all_to_all(int comm,
                                             const std::vector<std::vector<int64_t>>& out) {
    return all_to_all_of(comm, out, MPI_INT64_T);
}

std::vector<std::vector<double>> all_to_all(int comm, const std::vector<std::vector<double>>& out) {
    return all_to_all_of(comm, out, MPI_DOUBLE);
}

std::vector<std::vector<int64_t>> all_to_all(int comm, std::vector<std::vector<int64_t>>&& out) {
    return all_to_all_moving(comm, std::move(out), MPI_INT64_T);
}

std::vector<std::vector<double>> all_to_all(int comm, std::vector<std::vector<double>>&& out) {
    return all_to_all_moving(comm, std::move(out), MPI_DOUBLE);
}

bool on_any_process(int comm, bool mine) {
    int any = mine ? 1 : 0;
    agree_so_far(comm);
    if (process_count(comm) > 1)
        CHECK_MPI(kExchange, MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_LOR, comm_of(comm)));
    return any != 0;
}

int64_t max_over_processes(int comm, int64_t mine) {
    agree_so_far(comm);
    if (process_count(comm) > 1)
        CHECK_MPI(kExchange,
                  MPI_Allreduce(MPI_IN_PLACE, &mine, 1, MPI_INT64_T, MPI_MAX, comm_of(comm)));
    return mine;
}

void sum_over_processes(int comm, std::span<long long> values) {
    if (process_count(comm) == 1 || values.empty()) return;
    if (values.size() > size_t(INT32_MAX))
        fail<std::length_error>(kExchange, "more than 2^31-1 entries");
    agree_so_far(comm);
    CHECK_MPI(kExchange, MPI_Allreduce(MPI_IN_PLACE, values.data(), int(values.size()),
                                       MPI_LONG_LONG, MPI_SUM, comm_of(comm)));
}

Share offset_and_total(int comm, int64_t mine) {
    Share out{0, mine};
    if (process_count(comm) == 1) return out;
    agree_so_far(comm);
    CHECK_MPI(kExchange, MPI_Exscan(&mine, &out.first, 1, MPI_INT64_T, MPI_SUM, comm_of(comm)));
    if (process_rank(comm) == 0) out.first = 0;  // MPI_Exscan leaves process 0's undefined
    CHECK_MPI(kExchange, MPI_Allreduce(&mine, &out.last, 1, MPI_INT64_T, MPI_SUM, comm_of(comm)));
    return out;
}

std::vector<int> gather_on_root(int comm, int root, std::span<const int> mine) {
    return gather_all_of(comm, mine, MPI_INT, nullptr, root);
}

std::vector<double> gather_on_root(int comm, int root, std::span<const double> mine) {
    return gather_all_of(comm, mine, MPI_DOUBLE, nullptr, root);
}

void abort_processes(int comm, int code) {
    if (library_started()) MPI_Abort(comm_of(comm), code);
    std::_Exit(code);
}

}  // namespace mosk
