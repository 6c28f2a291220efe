"""The names each extension module binds, in the order it binds them (its globals, the
double-underscore ones left out)."""

BOUND = {
    "network_svp": [
        "GNV", "UNV", "sys", "load_file", "copy", "nn", "torch", "Thread", "doing_threading",
        "loaded_full_print", "convert_network", "get_nvr_modules", "load_nvr_model",
        "NVROptimizedModule", "NVRTrackedModule", "doing_fusion",
    ],
    "blockwise_svp": [
        "GNV", "NV", "UNV", "nn", "torch", "pdb", "np", "string", "copy", "NVRLayer",
        "unWrap_params", "convert_to_nvr_layer_block", "get_pretrained_nvr_attr",
        "get_pretrained_nvr_var", "optimize_module", "blockwise_network",
    ],
    "slim_load": [
        "GNV", "load_file", "copy", "nn", "torch", "pdb", "Thread", "doing_threading",
        "loaded_full_print", "NVRModulePyThread", "get_pretrained_nvr_attr",
        "get_pretrained_nvr_var", "ModuleType", "make_module", "refresh_nvr", "refresh_net",
        "doing_fusion",
    ],
    "utils_svp": [
        "torch", "nn", "init", "F", "math", "np", "pdb", "os", "time", "warnings", "GNV", "UNV",
        "SL", "BSV", "copy", "load_file", "save_file", "check_requires_grad",
        "debug_print_grad_modules", "add_future_warning", "remove_future_warning", "load_net",
        "clean_net", "sv_save_net", "sv_count_params",
    ],
}


def bound(module):
    """The names `module` binds, in its namespace's order."""
    return [k for k in vars(module) if not k.startswith("__")]
