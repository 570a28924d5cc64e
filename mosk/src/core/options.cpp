// The library's own options, read from the start-up argument vector and from MOSK_OPTIONS.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "core/library_state.h"
#include "core/check.h"
#include "core/numbers.h"
#include "core/parallel.h"
#include "mosk.h"

namespace mosk {

namespace {
// The library's own options. A word that starts like one of them (up to its first '_') but is
// none of them is taken for a misspelling, not handed to PETSc to be ignored.
constexpr const char* kOptionNames[] = {"-solver",    "-solver_rtol",      "-solver_maxit",
                                        "-verbosity", "-dirichlet_labels", "-read_whole_limit"};

bool looks_like_library_option(const std::string& word) {
    for (const char* name : kOptionNames) {
        const std::string_view stem(name, std::strcspn(name, "_"));
        if (word.compare(0, stem.size(), stem) == 0) return true;
    }
    return false;
}

std::string option_list() {
    std::string list;
    for (const char* name : kOptionNames) list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

LibraryOptions& options_storage() {
    static LibraryOptions options;
    return options;
}

double parse_double(const std::string& operation, const std::string& option,
                    const std::string& text) {
    double x = 0;
    if (parse_number(text, x) != ParsedNumber::ok)
        fail(operation, "option " + option + " needs a number, got '" + text + "'");
    return x;
}

int parse_int(const std::string& operation, const std::string& option, const std::string& text) {
    int32_t x = 0;
    if (parse_number(text, x) != ParsedNumber::ok)
        fail(operation, "option " + option + " needs an integer, got '" + text + "'");
    return int(x);
}
}  // namespace

const LibraryOptions& library_options() { return options_storage(); }
LibraryOptions& mutable_library_options() { return options_storage(); }

std::vector<std::string> split_words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<std::string> parse_library_options(const std::vector<std::string>& words,
                                               LibraryOptions& options,
                                               const std::string& operation) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= words.size()) fail(operation, "option " + w + " needs a value");
            return words[++i];
        };
        if (w == "-solver") {
            const std::string name = value();
            const MOSK_SOLVER_KIND_* kind = moskSolverKindByName(name.c_str());
            if (!kind) {
                std::string known;
                for (int k = 1; moskSolverList_[k] && moskSolverNames_[k]; ++k)
                    known += std::string(known.empty() ? "" : ", ") + moskSolverList_[k]->name +
                             " (" + moskSolverNames_[k] + ")";
                fail(operation, "option -solver names an unknown solver kind '" + name +
                                    "' (known: " + known + ")");
            }
            options.solver = kind->name;
        } else if (w == "-solver_rtol") {
            options.solver_rtol = parse_double(operation, w, value());
            if (!(options.solver_rtol > 0 && options.solver_rtol < 1))
                fail(operation, "option -solver_rtol must lie in (0, 1)");
        } else if (w == "-solver_maxit") {
            options.solver_maxit = parse_int(operation, w, value());
            if (options.solver_maxit < 1)
                fail(operation, "option -solver_maxit must be at least 1");
        } else if (w == "-read_whole_limit") {
            options.read_whole_limit = parse_int(operation, w, value());
            if (options.read_whole_limit < 0)
                fail(operation, "option -read_whole_limit must be at least 0");
        } else if (w == "-verbosity") {
            options.verbosity = parse_int(operation, w, value());
        } else if (w == "-dirichlet_labels") {
            options.dirichlet_labels.clear();
            std::string list = value();
            for (char& c : list)
                if (c == ',') c = ' ';
            for (const std::string& item : split_words(list))
                options.dirichlet_labels.push_back(parse_int(operation, w, item));
        } else if (looks_like_library_option(w)) {
            fail(operation,
                 "unknown option " + w + " (the library's options: " + option_list() + ")");
        } else {
            rest.push_back(w);
        }
    }
    return rest;
}

std::string format_double(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::vector<std::string> parse_solver_options(const std::vector<std::string>& words, double& rtol,
                                              int& maxit) {
    const std::string op = "solver options";
    for (const std::string& w : words)
        if (w == "-solver" || w == "-verbosity" || w == "-dirichlet_labels")
            fail(op, "option " + w +
                         " holds for the whole library, not for one solver; give it in "
                         "MOSK_OPTIONS");
    LibraryOptions options;
    options.solver_rtol = rtol;
    options.solver_maxit = maxit;
    std::vector<std::string> rest = parse_library_options(words, options, op);
    const std::string prefix = "-mosk_";
    for (std::string& w : rest) {
        if (w.rfind("-solver", 0) == 0)
            fail(op, "unknown option '" + w +
                         "' (a solver's own options are -solver_rtol and -solver_maxit)");
        if (w.rfind(prefix, 0) == 0 && w.size() > prefix.size()) w.erase(1, prefix.size() - 1);
    }
    // A value must follow its option; PETSc would drop a stray one without a word.
    for (size_t i = 0; i < rest.size(); ++i)
        if (rest[i][0] != '-' && (i == 0 || rest[i - 1][0] != '-'))
            fail(op, "'" + rest[i] + "' follows no option");
    rtol = options.solver_rtol;
    maxit = options.solver_maxit;
    return rest;
}

void log_message(int level, const std::string& text) {
    if (library_options().verbosity < level) return;
    // On several processes each line names the process it comes from. One write per line, so
    // that the lines of several processes do not mix where they meet (std::cerr writes each
    // piece at once).
    const std::string line =
        (process_count(-1) > 1 ? "mosk[" + std::to_string(process_rank(-1)) + "]: "
                               : std::string("mosk: ")) +
        text + "\n";
    std::cerr << line << std::flush;
}

}  // namespace mosk
