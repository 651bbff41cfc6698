#include "codes/storage.hpp"

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

}  // namespace quorvalent::codes
