// No C++ exception leaves an export: what escapes becomes the family's
// allocation-failure status (the only exception our code lets through is
// std::bad_alloc and its kin).
#pragma once

#include <exception>

namespace pavu {

template <typename Status, typename F>
Status guarded(Status onException, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onException;
    }
}

}  // namespace pavu
