#include "codes/storage.hpp"

#include <algorithm>
#include <cstring>

namespace quorvalent::codes {

void code_store::write(std::size_t at, const std::uint64_t* codes, std::size_t n) noexcept {
    if (n == 0) return;
    std::memcpy(owned_.data() + at * words_, codes, n * words_ * sizeof(std::uint64_t));
}

std::shared_ptr<code_store> grow_store(const code_store* from, std::size_t count, std::size_t words,
                                       std::size_t capacity) {
    auto store = std::make_shared<code_store>(words, capacity);
    if (from != nullptr && count != 0) store->write(0, from->data(), count);
    return store;
}

id_store::id_store(std::size_t capacity, code_id low, code_id high) : capacity_(capacity) {
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    narrow_ = high >= low && span <= 0xFFFFFFFFu;
    if (!narrow_) {
        wide_.reset(capacity);
        return;
    }
    // Centred. The window is one of offsets modulo 2^64, as ids are stored: one that reaches
    // past the largest id wraps to the smallest, and every offset still names its id exactly.
    base_ = static_cast<std::uint64_t>(low) - (0xFFFFFFFFu - span) / 2;
    offsets_.reset(capacity);
}

void id_store::write(std::size_t at, const code_id* ids, std::size_t n) noexcept {
    if (!narrow_) {
        for (std::size_t k = 0; k < n; ++k) wide_[at + k] = static_cast<std::uint64_t>(ids[k]);
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        offsets_[at + k] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ids[k]) - base_);
    }
}

std::shared_ptr<id_store> grow_ids(const id_store* from, std::size_t count, std::size_t capacity, code_id low,
                                   code_id high) {
    for (std::size_t slot = 0; from != nullptr && slot < count; ++slot) {
        low = std::min(low, (*from)[slot]);
        high = std::max(high, (*from)[slot]);
    }
    auto store = std::make_shared<id_store>(capacity, low, high);
    for (std::size_t slot = 0; from != nullptr && slot < count; ++slot) {
        const code_id id = (*from)[slot];
        store->write(slot, &id, 1);
    }
    return store;
}

}  // namespace quorvalent::codes
