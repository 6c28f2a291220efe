#include "atomic_write.h"

#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"

#include <utility>

namespace sorvith::utils_svp {

namespace {

// How many random names are tried before the folder counts as taking no new file.
constexpr int name_attempts = 100;

// The file a write to `path` lands in: the file a link points to, or `path` itself.
py::object landing_path(py::handle os_path, py::handle path) {
    if (truth(call_method(os_path, SV_NAME("islink"), path)))
        return call_method(os_path, SV_NAME("realpath"), path);
    return borrow(path.ptr());
}

// Removes the work folder and whatever the writer left in it; what cannot be removed stays.
void remove_work_folder(py::handle os, py::handle work) {
    auto quietly = [](const std::function<void()> &step) {
        try {
            step();
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_OSError))
                throw;
        }
    };
    quietly([&] {
        py::object os_path = attr(os, SV_NAME("path"));
        for (py::handle name : call_method(os, SV_NAME("listdir"), work))
            quietly([&] {
                call_method(os, SV_NAME("remove"),
                            call_method(os_path, SV_NAME("join"), work, name));
            });
    });
    quietly([&] { call_method(os, SV_NAME("rmdir"), work); });
}

// A new, private folder beside `landing` (made by mkdir, which fails rather than reuse a name)
// and the path of a file named `name` inside it, `name` being the last part of the path the
// caller gave: writers that put the file's name into the file (torch.save names its archive
// after it) write what they would write at that path, also when a link there sends the file
// elsewhere under another name. The folder's name is the landing file's own with a random part
// and ".partial" added: visible, so that what a process killed mid-save leaves is not hidden,
// and not taken for a saved network.
// Null handles when the folder takes no new entry, or no change of its bits (then it is
// removed again).
std::pair<py::object, py::object> make_work_folder(py::handle os, py::handle landing,
                                                   py::handle name) {
    py::object os_path = attr(os, SV_NAME("path"));
    py::object folder = call_method(os_path, SV_NAME("dirname"), landing);
    py::object base = call_method(os_path, SV_NAME("basename"), landing);
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        py::object random = call_method(call_method(os, SV_NAME("urandom"), make_int(6)),
                                        SV_NAME("hex"));
        py::object work = call_method(
            os_path, SV_NAME("join"), folder,
            concat({base, py::str("."), random, py::str(".partial")}));
        try {
            call_method(os, SV_NAME("mkdir"), work, make_int(0700));
        } catch (py::error_already_set &error) {
            if (error.matches(PyExc_FileExistsError))
                continue;
            if (error.matches(PyExc_OSError))
                return {};
            throw;
        }
        try {
            // mkdir's mode passes through the umask, which may take the owner's own write
            // bit; the writer must be able to make its file here, as in the file's folder.
            call_method(os, SV_NAME("chmod"), work, make_int(0700));
            return {work, call_method(os_path, SV_NAME("join"), work, name)};
        } catch (py::error_already_set &error) {
            {
                HandledException handling(error.value());
                remove_work_folder(os, work);
            }
            if (!error.matches(PyExc_OSError))
                throw;
            return {};
        }
    }
    return {};
}

// first(), os.fsync(fd), then os.close(fd); an error from first() or the sync closes the
// descriptor and is passed on.
template <typename First> void sync_and_close(py::handle os, py::handle fd, First &&first) {
    try {
        first();
        call_method(os, SV_NAME("fsync"), fd);
    } catch (py::error_already_set &error) {
        HandledException handling(error.value());
        call_method(os, SV_NAME("close"), fd);
        throw;
    }
    call_method(os, SV_NAME("close"), fd);
}

// os.fsync of what `path` names, through a descriptor of its own opened with `flags`.
void sync_path(py::handle os, py::handle path, const char *flags) {
    py::object fd = call_method(os, SV_NAME("open"), path, attr(os, py::str(flags)));
    sync_and_close(os, fd, [] {});
}

// Gives the new file its final permission bits (`permissions`, or the writer's own when null)
// and syncs it, bits included, through a descriptor of its own: the writer has closed its own,
// and may have put another file at the path (some writers rename their own new file). Opening
// it needs the owner's read bit (read and write, where fsync asks for a writable descriptor),
// which a umask or the replaced file's bits may lack: the bits are widened for the open and
// set to their final value before the sync.
void set_bits_and_sync(py::handle os, py::handle path, py::handle permissions) {
    constexpr long owner_read_write = 0600;
    py::object final_bits = borrow(permissions.ptr());
    if (!permissions) {
        py::object mode = attr(call_method(os, SV_NAME("stat"), path), SV_NAME("st_mode"));
        final_bits = steal(PyNumber_And(mode.ptr(), make_int(07777).ptr()));
    }
    long bits = PyLong_AsLong(final_bits.ptr());
    if (bits == -1 && PyErr_Occurred())
        throw py::error_already_set();
    bool widened = (bits & owner_read_write) != owner_read_write;
    if (widened)
        call_method(os, SV_NAME("chmod"), path, make_int(bits | owner_read_write));
    else if (permissions)
        call_method(os, SV_NAME("chmod"), path, final_bits);
    py::object fd;
    try {
        fd = call_method(os, SV_NAME("open"), path, attr(os, SV_NAME("O_RDWR")));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_PermissionError))
            throw;
        fd = call_method(os, SV_NAME("open"), path, attr(os, SV_NAME("O_RDONLY")));
    }
    sync_and_close(os, fd, [&] {
        if (widened)
            call_method(os, SV_NAME("chmod"), path, final_bits);
    });
}

// Syncs the folder so that the rename itself is on disk. Systems that cannot open or sync a
// folder give an OSError, which leaves the rename to the system's own schedule.
void sync_folder(py::handle os, py::handle file) {
    py::object folder = call_method(attr(os, SV_NAME("path")), SV_NAME("dirname"), file);
    if (!truth(folder))
        folder = py::str(".");
    try {
        sync_path(os, folder, "O_RDONLY");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_OSError))
            throw;
    }
}

} // namespace

void write_atomically(py::handle module, py::handle path,
                      const std::function<void(py::handle target)> &write) {
    py::object os = global(module, SV_NAME("os"));
    py::object os_path = attr(os, SV_NAME("path"));
    py::object landing = landing_path(os_path, path);
    bool exists = truth(call_method(os_path, SV_NAME("exists"), landing));
    if (exists && !truth(call_method(os_path, SV_NAME("isfile"), landing))) {
        write(path);
        return;
    }
    // The permission bits the replaced file had; a new file keeps what its writer gives it.
    py::object permissions;
    if (exists) {
        py::object mode = attr(call_method(os, SV_NAME("stat"), landing), SV_NAME("st_mode"));
        permissions = steal(PyNumber_And(mode.ptr(), make_int(07777).ptr()));
    }
    auto [work, new_file] =
        make_work_folder(os, landing, call_method(os_path, SV_NAME("basename"), path));
    if (!work) {
        write(path);
        return;
    }
    bool in_place = false;
    try {
        write(new_file);
        set_bits_and_sync(os, new_file, permissions);
        try {
            call_method(os, SV_NAME("replace"), new_file, landing);
        } catch (py::error_already_set &error) {
            // A folder can let a file be written but not replaced (a sticky folder and a
            // file of another owner): then the writer writes in place, as it would alone.
            if (!error.matches(PyExc_PermissionError))
                throw;
            in_place = true;
        }
    } catch (py::error_already_set &error) {
        // Cleaned up as a `finally` would: an error meanwhile carries the writer's as context.
        HandledException handling(error.value());
        remove_work_folder(os, work);
        throw;
    } catch (...) {
        remove_work_folder(os, work);
        throw;
    }
    remove_work_folder(os, work);
    if (in_place) {
        write(path);
        return;
    }
    sync_folder(os, landing);
}

} // namespace sorvith::utils_svp
