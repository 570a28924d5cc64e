// Start-up and shut-down of the library: options, then PETSc (which starts MPI only if nobody
// did). After shut-down, objects that are still freed must not touch PETSc or MPI.
#include <petscsys.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/library_state.h"
#include "core/check.h"
#include "core/parallel.h"
#include "mosk.h"

using namespace mosk;

extern "C" int moskInit(int* argc, char*** argv) {
    if (library_started() || library_finalized()) return 0;
    std::vector<std::string> words;
    if (argc && argv && *argv)
        for (int i = 1; i < *argc && (*argv)[i]; ++i) words.push_back((*argv)[i]);
    if (const char* env = std::getenv("MOSK_OPTIONS"))
        for (auto& w : split_words(env)) words.push_back(w);

    LibraryOptions options;
    std::vector<std::string> petsc_words = parse_library_options(words, options, "start-up");
    mutable_library_options() = options;

    // PETSc must leave the interpreter's signal handling alone and stay silent about options it
    // was given but did not use.
    std::vector<std::string> petsc_argv_text = {argc && argv && *argv && (*argv)[0] ? (*argv)[0]
                                                                                    : "mosk"};
    for (auto& w : petsc_words) petsc_argv_text.push_back(w);
    petsc_argv_text.push_back("-no_signal_handler");
    petsc_argv_text.push_back("-options_left");
    petsc_argv_text.push_back("no");
    static std::vector<char*> petsc_argv;  // PETSc may keep pointers into it
    static std::vector<std::string> keep;
    keep = petsc_argv_text;
    petsc_argv.clear();
    for (auto& w : keep) petsc_argv.push_back(w.data());
    petsc_argv.push_back(nullptr);
    int petsc_argc = int(keep.size());
    char** petsc_args = petsc_argv.data();
    if (PetscInitialize(&petsc_argc, &petsc_args, nullptr, nullptr) != 0)
        fail<std::runtime_error>("start-up", "PETSc failed to initialise");
    set_library_started(int(MPI_Comm_c2f(PETSC_COMM_WORLD)));
    // The library's options are process 0's on every process: processes that took different
    // decisions (how a mesh is read, whether a count is summed for a log line, a solver's
    // tolerance) would wait for each other in different exchanges. PETSc's stay each process's.
    if (process_count(moskComm) > 1) {
        std::string text;  // process 0's words, each ended by a zero
        if (process_rank(moskComm) == 0)
            for (const std::string& w : words) text += w + '\0';
        broadcast(moskComm, 0, text);
        std::vector<std::string> first;
        for (size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
            first.push_back(text.substr(at, end - at));
        LibraryOptions agreed;
        parse_library_options(first, agreed, "start-up");
        mutable_library_options() = agreed;
    }
    log_message(1, "started with " + std::to_string(process_count(moskComm)) + " process(es)");
    return 0;
}

namespace {

// PETSc options that nothing read: most likely misspelt, or meant for another prefix
// (-ksp_monitor where the kinds read -mosk_ksp_monitor).
void report_unused_petsc_options() {
    PetscInt count = 0;
    char** names = nullptr;
    char** values = nullptr;
    if (PetscOptionsLeftGet(nullptr, &count, &names, &values) != 0) return;
    for (PetscInt i = 0; i < count; ++i)
        if (std::string(names[i]) != "options_left")  // read by PetscFinalize itself
            log_message(1, "PETSc option -" + std::string(names[i]) + " was never used");
    PetscOptionsLeftRestore(nullptr, &count, &names, &values);
}

}  // namespace

extern "C" int moskFinalize(void) {
    if (!library_started()) return 0;
    if (library_options().verbosity >= 1) report_unused_petsc_options();
    set_library_finalized();
    log_message(1, "shut down");
    PetscFinalize();
    return 0;
}

extern "C" int moskCommRank(void) { return process_rank(moskComm); }

extern "C" int moskCommSize(void) { return process_count(moskComm); }

extern "C" void moskAbort(int code) { abort_processes(moskComm, code); }
