// Library-wide state: whether the library is started, its options, and the communicator.
#pragma once

#include <string>
#include <vector>

namespace mosk {

struct LibraryOptions {
    std::string solver;  // -solver NAME: kind used when a solver is made with a null kind
    double solver_rtol = 1e-10;  // -solver_rtol X
    int solver_maxit = 10000;  // -solver_maxit N
    int verbosity = 0;  // -verbosity N: 0 quiet, 1 progress, 2 details (stderr)
    std::vector<int> dirichlet_labels;  // -dirichlet_labels a,b,...: empty = every boundary face
    // -read_whole_limit N: under MPI a mesh of more tetrahedra is read by process 0 alone and dealt
    // out; one of at most N is read whole by every process.
    int read_whole_limit = 100000;
};

// The options in force (defaults until moskInit has read them).
const LibraryOptions& library_options();
LibraryOptions& mutable_library_options();

// Splits `words` into the library's own options (applied to `options`) and the rest, which is
// returned in order for PETSc. Throws std::invalid_argument for a library option whose value is
// missing or malformed, naming `operation` ("start-up", "solver options").
std::vector<std::string> parse_library_options(const std::vector<std::string>& words,
                                               LibraryOptions& options,
                                               const std::string& operation);

// Splits a MOSK_OPTIONS string into words at white space.
std::vector<std::string> split_words(const std::string& text);

// The options of one solver, in MOSK_OPTIONS syntax: -solver_rtol and -solver_maxit set rtol and
// maxit (checked as at start-up); the other words are returned for PETSc, with the library's
// prefix "-mosk_" taken off option names. Throws std::invalid_argument for a library-wide option
// (-solver, -verbosity, -dirichlet_labels) and for any other word starting with "-solver" (a
// misspelt option) and for a value that follows no option; rtol and maxit are then unchanged.
std::vector<std::string> parse_solver_options(const std::vector<std::string>& words, double& rtol,
                                              int& maxit);

bool library_started();  // moskInit ran and moskFinalize has not
bool library_finalized();  // moskFinalize ran: PETSc and MPI must not be touched any more
// Set by start-up (with the library's communicator, which becomes moskComm) and shut-down.
void set_library_started(int comm);
void set_library_finalized();

// Prints "mosk: <text>" to stderr when the verbosity is at least `level`.
void log_message(int level, const std::string& text);

// A number as messages show it: printf's %g (six significant digits).
std::string format_double(double value);

}  // namespace mosk
