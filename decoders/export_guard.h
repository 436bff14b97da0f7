// No exception may leave a C export: a failure becomes the export's failure value.
#pragma once

#include <utility>

namespace decoders {

template <typename Result, typename Call>
Result Guarded(Result failure, Call&& call) noexcept {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        return failure;
    }
}

}  // namespace decoders
