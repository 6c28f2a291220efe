// What a saved cleaned file holds for each block, read and checked before any block is rebuilt
// from it. A file is data from anywhere: its numbers decide how many module copies the rebuild
// makes and which shapes it registers, so they are checked against each other and against the
// block first, and a file that disagrees is refused at once with a ValueError that names the
// key and the file.
//
// The checks refuse what the rebuild, the strict load or the block's first forward call would
// fail on, and a view_tuple whose length cannot be the rank of the block's outputs (where the
// file shows that rank), which would run and broadcast the weights along the wrong dimensions.
// Anything else the forward call reads and runs with is accepted: a 0-dimensional view_tuple,
// a view_tuple with sizes other than 1, skip rows or columns that the cascade never reads.
#pragma once

#include "host/common.h"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace sorvith::network_svp {

// One block's entries of the file, checked.
struct SavedBlock {
    py::object block;        // the NVROptimizedModule
    py::object prefix;       // its base name P; the file's keys for it start with P + "."
    py::object num_cycles;   // file[P.num_cycles]
    py::object skip_weights; // file[P.skip_weights]
    py::object module_id;    // file[P.module_id]
    py::object view_tuple;   // file[P.view_tuple]
    // Set by count_entries():
    py::object cycles;       // int(file[P.num_cycles].item())
    Py_ssize_t entries = 1;  // the layer_array entries those cycles make
    py::object layer_state;  // layer_array[0].state_dict(keep_vars=True): what each entry loads into
    // Set by RebuiltTies::plan(): the module is moved to the last entry, where the neuron module
    // sits, and its last copy takes entry 0 (layer_array[0] shares a tensor with the network).
    bool original_last = false;
    // Set by check_values():
    py::object skip_shape;   // file[P.skip_weights].shape
    long long row_width = 0; // the values of one skip row, skip_weights[p][q, :]
};

class SavedFile {
  public:
    // `state_dict` is the mapping read from the file `filename`.
    SavedFile(py::handle module, py::handle state_dict, py::handle filename);

    // Looks up block `block`'s four entries under `prefix`, in the order the rebuild reads them
    // (".num_cycles", ".skip_weights", ".module_id", ".view_tuple"): a KeyError for the first
    // missing one. Nothing else is read, so that a caller runs this for every block first and
    // a missing key is reported before any value of another block is refused.
    SavedBlock read_keys(py::handle block, py::handle prefix);

    // The layer_array entries the saved cycle count makes, and the keys each entry loads.
    void count_entries(SavedBlock &saved);

    // Checks the entries read_keys found: the cycle count against the layer_array entries the
    // file holds for the block; each entry's keys and shapes against the module every entry is
    // copied from; and, for a block with dendrites (a block of one entry reads no skip row),
    // the skip tensor's shape against the rows the cascade reads and view_tuple against one
    // such row and against the rank of the block's outputs.
    void check_values(SavedBlock &saved);

    // The mapping as it stands, and the entry indices it holds keys for under
    // "<prefix>.layer_array." (none for a prefix it names no entry of).
    const py::object &state() const { return state_dict_; }
    std::vector<long long> entry_indices(const std::string &prefix) const;

    // Adds `additions` (key: tensor) to the mapping, which becomes a copy of the file's.
    void complete(py::handle additions);

    // The mapping to load into `net` once `blocks` are rebuilt: the file's own, or a copy in
    // which each block entry's `module_id` text is narrowed to its first code where the entry
    // holds a 0-dimensional buffer (current torch no longer does this itself). Nothing else is
    // narrowed, so that a real shape mismatch still reaches load_state_dict.
    py::object narrowed(py::handle net, const std::vector<SavedBlock> &blocks);

  private:
    // The file's keys under "<prefix>.layer_array.": per canonical entry index, the rest of
    // each key after "<index>."; `stray` holds whole keys with no such index.
    struct EntryKeys {
        std::map<long long, std::vector<std::string>> by_index;
        std::vector<std::string> stray;
    };

    void index_key(py::handle key);
    void check_entries(const SavedBlock &saved);
    void check_skip_shape(SavedBlock &saved);
    void check_view_tuple(const SavedBlock &saved);
    // The number of dimensions of the block's outputs where the file shows it, else -1.
    long long output_rank(const SavedBlock &saved);
    [[noreturn]] void refuse(const char *pattern, py::handle values);

    py::handle module_;
    py::object state_dict_, filename_;
    std::unordered_map<std::string, EntryKeys> entry_keys_;
};

} // namespace sorvith::network_svp
