// Tensors that a state dictionary names more than once (tied weights: an output layer that
// uses the input embedding's matrix), and how a safetensors file of a cleaned network keeps
// them.
//
// safetensors refuses to write two names of one memory. The file therefore stores each shared
// tensor once, under the name safetensors' own save_model would keep (the first in sorted
// order), and its metadata entry `aliases_entry()` maps every other name of it (an alias) to
// the kept name, as one JSON object {"alias": "kept", ...}. A state dictionary without shared
// tensors is written without metadata, as always. Readers put the kept tensor back under each
// alias and check that the network they load into ties the two names as well.
//
// Here rather than in a module folder because network_svp and utils_svp both read and write
// such files, and the extensions share code only through the layers below them.
#pragma once

#include "host/common.h"

#include <functional>

namespace sorvith::block {

// The metadata entry that names the aliases: "sorvith.shared_tensors".
py::handle aliases_entry();

// What tells tensors apart: two tensors with equal tokens are one tensor, the same values in
// the same memory (storage, offset, sizes, strides, dtype and device). A tensor whose memory
// cannot be told (lazy, on the meta device, without storage) is only itself: its token is its
// identity, valid while it is alive. `module` gives the late-bound `torch`.
py::object tensor_token(py::handle module, py::handle tensor);

// The aliases of `state_dict` (a mapping of names to tensors) by safetensors' rules: tensors
// whose memory overlaps form one group, and each group keeps its first name in sorted order;
// the others map to it. An empty dict when no memory is shared. A group whose names are not all
// one tensor (a tensor that overlaps part of another) cannot be kept once, so it is refused
// with a ValueError naming two of its keys and the modes that store such networks.
py::dict shared_names(py::handle module, py::handle state_dict);

// The aliases the safetensors file at `path` records, read from its metadata: a dict of str to
// str, or a null object when the file records none. `filename` names the file in a ValueError
// for an entry that is not such a JSON object or maps a name to itself.
py::object saved_aliases(py::handle path, py::handle filename);

// A copy of `state_dict` that holds, under each alias, the tensor of the name it maps to.
// ValueError naming the file and the key for an alias that the file also stores itself, or
// whose kept name the file does not hold.
py::object with_aliases(py::handle state_dict, py::handle aliases, py::handle filename);

// Checks each alias against a network: `token_of(key)` gives the token the network's tensor
// under `key` has (or will have once it is loaded), or a null object for a key the network has
// no tensor under. ValueError naming the file and the alias when either name is not a key of
// the network, or when the network holds two tensors there (not tied, or of other shapes).
void check_aliases(py::handle aliases, py::handle filename,
                   const std::function<py::object(py::handle key)> &token_of);

} // namespace sorvith::block
