// Local and global numbers of entries spread over the processes of a communicator: each process
// owns a range of entries and holds copies (ghosts) of some entries of other processes.
//
// Local order: the owned entries first, then the ghosts. The global number of an owned entry is
// the process's offset (an exclusive scan of the owned counts) plus its local position; a ghost
// receives its global number from its owner. A ghost is named by its owner process and a key the
// owner lists among its owned entries (any 64-bit identity both sides know, such as a number in
// an earlier numbering). After construction only the processes that share entries exchange
// messages.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace mosk {

class IndexMap {
public:
    // Collective over `comm`. owned_keys: the keys of this process's entries, in local order,
    // each once; ghost_owners and ghost_keys: the ghost entries in local order (after the owned
    // ones). Throws std::invalid_argument on every process when any process passes a ghost whose
    // owner is itself or not a process of comm, lists a key twice, or names a key its owner does
    // not list.
    IndexMap(int comm, std::span<const int64_t> owned_keys, std::span<const int> ghost_owners,
             std::span<const int64_t> ghost_keys);
    IndexMap() = default;  // no entries

    int num_owned() const { return owned_; }
    int num_ghosts() const { return int(ghost_global_.size()); }
    int size() const { return owned_ + num_ghosts(); }
    int64_t offset() const { return offset_; }            // global number of local entry 0
    int64_t global_size() const { return global_size_; }  // owned entries of all processes
    int64_t global(int local) const {
        return local < owned_ ? offset_ + local : ghost_global_[size_t(local - owned_)];
    }
    int ghost_owner(int ghost) const { return ghost_owners_[size_t(ghost)]; }

    // `values` holds `block` numbers per local entry. forward: every ghost's numbers become its
    // owner's. reverse_add: every ghost's numbers are added into its owner's (the ghosts keep
    // theirs). Collective over the processes that share entries.
    void forward(std::span<double> values, int block = 1) const;
    void reverse_add(std::span<double> values, int block = 1) const;

    // One process that shares entries with this one, and the local positions involved.
    struct Neighbour {
        int rank;
        std::vector<int> local;
    };
    // The processes that hold copies of owned entries, with the owned entries each holds.
    const std::vector<Neighbour>& ghosted_by() const { return ghosted_by_; }

private:
    void exchange(std::span<double> values, int block, bool to_ghosts) const;

    int comm_ = -1;
    int owned_ = 0;
    int64_t offset_ = 0, global_size_ = 0;
    std::vector<int> ghost_owners_;
    std::vector<int64_t> ghost_global_;
    std::vector<Neighbour> ghosted_by_;  // processes holding copies of owned entries: which
    std::vector<Neighbour> owners_;      // processes owning this one's ghosts: which ghosts
};

}  // namespace mosk
