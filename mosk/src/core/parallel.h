// The processes of a communicator: rank and count, and the agreement that makes a collective
// library call fail on every process or on none.
//
// Every collective entry point runs its work through collective(): the work may throw on some
// processes only (a user function that raises on one, a file one process cannot write), and then
// every process throws: the failing process its own exception, the others a copy of the first
// failing process's exception, of the same type and with the same message. No process is left
// waiting in a later collective call.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace mosk {

// The integer communicator handle that `comm` stands for: -1 is the library's communicator
// (moskComm), as in moskNewGrid; any other value is itself.
int communicator_handle(int comm);

// Rank and number of processes of an integer communicator handle; 0 and 1 when the library is
// not started (or shut down). Throws std::invalid_argument for a handle MPI does not accept.
int process_rank(int comm);
int process_count(int comm);

// Work handed to the calls below: a reference to any callable, made without allocating, so that
// handing it over cannot fail on one process before the agreement.
class WorkRef {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, WorkRef>>>
    WorkRef(F&& f)  // implicit, as a std::function is
        : object_(&f), call_([](const void* o) {
              (*static_cast<std::remove_reference_t<F>*>(const_cast<void*>(o)))();
          }) {}
    void operator()() const { call_(object_); }

private:
    const void* object_;
    void (*call_)(const void*);
};

// Runs `work` on every process of `comm` and agrees on its outcome (see above). On one process it
// is `work()` and nothing more.
void collective(int comm, WorkRef work);
// The same, but every process throws the lowest failing process's exception, a failing one too:
// for checks that may fail differently on several processes (each on its own part of a file), so
// that every process reports the same.
void collective_alike(int comm, WorkRef work);

// Inside collective work, every exchange below (and IndexMap's) first agrees on the failures so
// far: a process whose work threw is then in the agreement at the end of its collective() call,
// and the others meet it there instead of waiting in an exchange it never reaches; every process
// then throws the agreed exception, which the enclosing collective() calls pass on as it is.
// agree_so_far is that agreement on its own (one reduction of one int): work calls it before it
// commits a change, so that either every process commits or none does. It does nothing on one
// process or outside collective work.
void agree_so_far(int comm);
// In a catch block of collective work, before an undo that exchanges messages: the exception
// being handled agreed on by every process (the others meet this call in an exchange or in
// agree_so_far), so that every process runs the undo. Returns the exception to rethrow.
std::exception_ptr agreed_failure(int comm, std::exception_ptr error);

// Runs `work` on process `root` only and lets every process throw what it threw there (or
// return normally on all). For output that one process writes.
void on_root(int comm, int root, WorkRef work);

// Throws std::runtime_error naming `operation` and the MPI function when `code` (an MPI call's
// result) is not MPI_SUCCESS. CHECK_MPI takes the function's name from the call's own text, so
// the name in a message cannot drift from the call.
void check_mpi(int code, const char* operation, const char* call);

// Process `root`'s value of `values` on every process (resized to root's length).
void broadcast(int comm, int root, std::vector<int>& values);
void broadcast(int comm, int root, std::string& text);

// Work split by position: this process's share [first, last) of n items, contiguous and as equal
// as whole units of `unit` items allow (n a multiple of unit). One process, or more items than
// one exchange can carry, leaves every process the whole range.
struct Share {
    int64_t first = 0, last = 0;
};
Share share_of(int comm, int64_t n, int64_t unit);
// Whether `mine` holds on any process of comm; the largest of every process's `mine`; every
// process's `values` added entry by entry, on every process. Collective.
bool on_any_process(int comm, bool mine);
int64_t max_over_processes(int comm, int64_t mine);
void sum_over_processes(int comm, std::span<long long> values);
// Numbering of entries each process owns `mine` of: first = this process's offset (the owned
// entries of the processes before it), last = the entries of all processes. Collective.
Share offset_and_total(int comm, int64_t mine);
// Every process's share (share_of(comm, values.size(), unit)) of `values`, from the process that
// computed it, on every process.
void gather_shares(int comm, std::span<double> values, int64_t unit);
// Every process's `mine`, concatenated in process order, on every process (`counts`, when
// given, receives each process's length).
std::vector<int> gather_all(int comm, std::span<const int> mine,
                            std::vector<int>* counts = nullptr);
std::vector<double> gather_all(int comm, std::span<const double> mine,
                               std::vector<int>* counts = nullptr);
// Sends out[p] to process p (one vector per process of comm, empty for none) and returns what
// every process sent to this one, by sending process. Collective; the counts travel first, so
// only the processes that exchange something send data.
std::vector<std::vector<int64_t>> all_to_all(int comm,
                                             const std::vector<std::vector<int64_t>>& out);
std::vector<std::vector<double>> all_to_all(int comm, const std::vector<std::vector<double>>& out);
// The same for messages the caller gives up: the one to this process is moved, not copied, and
// the others are freed once sent (the peak holds each message once, not twice).
std::vector<std::vector<int64_t>> all_to_all(int comm, std::vector<std::vector<int64_t>>&& out);
std::vector<std::vector<double>> all_to_all(int comm, std::vector<std::vector<double>>&& out);
// The same on process `root` alone (the others receive an empty vector).
std::vector<int> gather_on_root(int comm, int root, std::span<const int> mine);
std::vector<double> gather_on_root(int comm, int root, std::span<const double> mine);
// Ends every process of the job: for an error that cannot be agreed on (an uncaught exception
// in a script that runs on several processes).
[[noreturn]] void abort_processes(int comm, int code);

}  // namespace mosk

#define CHECK_MPI(operation, call) ::mosk::check_mpi((call), (operation), #call)
