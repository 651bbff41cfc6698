// The codes of an index, and the rule that lets readers and a writer share them.
//
// A code_store is an append-only run of codes. Every snapshot of an index holds the store and
// its own count, and reads only the codes below that count. A writer appends past the largest
// count of any snapshot, so it never touches a word a reader may read; a store that is full
// is replaced by a larger copy, and snapshots of the old one keep it alive until they go.
// Codes borrowed from elsewhere (a mapped file) are never written: the first append copies them.
#ifndef QUORVALENT_CODES_STORAGE_HPP
#define QUORVALENT_CODES_STORAGE_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codes/large_array.hpp"

namespace quorvalent::codes {

class code_store {
   public:
    // Room for `capacity` codes of `words` words each.
    code_store(std::size_t words, std::size_t capacity) : words_(words), owned_(words * capacity) {
        data_ = owned_.data();
        capacity_ = capacity;
    }
    // Codes that live elsewhere; the memory must outlive every snapshot that holds this store.
    // `held` says whether that memory is the index's own (a copy read from a file) rather than a
    // mapping, for memory_bytes().
    code_store(std::size_t words, const std::uint64_t* codes, std::size_t n, bool held)
        : words_(words), data_(codes), capacity_(n), borrowed_(true), held_(held) {}

    const std::uint64_t* data() const noexcept { return data_; }
    const std::uint64_t* code(std::size_t slot) const noexcept { return data_ + slot * words_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool borrowed() const noexcept { return borrowed_; }
    std::size_t memory_bytes() const noexcept { return held_ ? capacity_ * words_ * sizeof(std::uint64_t) : owned_.bytes(); }

    // Writes n codes at slots [at, at + n); the caller is the one writer, and at is at or past
    // the count of every snapshot of this store.
    void write(std::size_t at, const std::uint64_t* codes, std::size_t n) noexcept;

   private:
    std::size_t words_;
    large_array<std::uint64_t> owned_;
    const std::uint64_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    bool borrowed_ = false;
    bool held_ = false;
};

// A store holding the first `count` codes of `from` (or none) and room for `capacity`.
std::shared_ptr<code_store> grow_store(const code_store* from, std::size_t count, std::size_t words,
                                       std::size_t capacity);

}  // namespace quorvalent::codes

#endif
