// Which keys of a network's state dictionary name one tensor (tied weights) once
// load_nvr_model has rebuilt its blocks, told from the converted network before any block is
// rebuilt, so that a file that stores each shared tensor once is checked and completed first.
//
// The rebuild keeps every tensor of the network and adds, per block: the dendrite copies (deep
// copies of layer_array[0], which share tensors only among their own names), skip_weights, and
// the file's module_id and view_tuple. When layer_array[0], the module the block wraps, shares
// a tensor with the rest of the network (an output layer tied to the input embedding), the
// rebuild moves it to the last entry, the neuron module, and puts a copy at entry 0: the tie
// then holds for the neuron module, as it did in the trained network. A block whose module
// shares nothing keeps it at entry 0.
#pragma once

#include "saved_blocks.h"

#include <vector>

namespace sorvith::network_svp {

class RebuiltTies {
  public:
    // `blocks`: the network's blocks, each once. Reads the network's state dictionary and the
    // names each block is registered under.
    RebuiltTies(py::handle module, py::handle net, const std::vector<py::object> &blocks);

    // For a file that stores a shared tensor once and records nothing of it: the keys of a
    // block's own tensors (skip_weights and its buffers) that the file lacks under one of the
    // block's names and holds under another, with those tensors. Needed before the block's
    // entries are read.
    py::dict own_additions(py::handle state) const;

    // Once the blocks' entry counts are known (SavedFile::count_entries): decides which blocks
    // move their module last (SavedBlock::original_last) and predicts the rebuilt network's
    // keys: those of the network, and of every block entry that `file` holds keys for.
    void plan(std::vector<SavedBlock> &blocks, const SavedFile &file);

    // After plan(): the token (block/shared_tensors.h) of the tensor the rebuilt network holds
    // under `key`, or a null object for a key it will not have.
    py::object token(py::handle key) const;

    // After plan(): for a file that records nothing of its shared tensors, the keys it lacks
    // whose tensor the rebuilt network also holds under a key the file has, with that key's
    // tensor (the first such key in sorted order).
    py::dict tied_additions(py::handle state) const;

  private:
    py::handle module_;
    std::vector<py::object> blocks_;
    std::vector<std::vector<std::string>> paths_; // per block, its names in the network
    py::object targets_;                          // net.state_dict(keep_vars=True)
    py::dict predicted_;                          // key: token, after plan()
};

} // namespace sorvith::network_svp
