// A value made at its first use and kept for the life of the process (a type made from a spec,
// a table, classes found once). Declare it `static MadeOnce<T> x;` in a function: it is
// constant-initialised, so no guard is taken. A function-local static of T itself would hold
// its guard while `make` runs Python code, which may let another thread run and block on the
// same guard while holding the GIL. Made under the GIL: two threads that race here may both
// make a value; the first one stored is kept. It is never destroyed (the interpreter may be
// gone by then).
#pragma once

#include "handles.h"

#include <utility>

namespace sorvith {

template <typename T> class MadeOnce {
  public:
    constexpr MadeOnce() = default;

    template <typename Make> const T &get(Make &&make) {
        if (!value_) {
            T made = make();
            if (!value_)
                value_ = new T(std::move(made));
        }
        return *value_;
    }

    // The value when it was made already, else null.
    const T *made() const { return value_; }

  private:
    const T *value_ = nullptr;
};

} // namespace sorvith
