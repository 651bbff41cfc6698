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
#include "quorvalent/code_index.hpp"

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

// The ids of an index's slots, shared by snapshots and appended to as a code_store is. Ids that
// lie within 2^32 of one another (row numbers, the keys of one table, ids 7 apart shuffled) are
// held as 32-bit offsets from a base: 4 bytes a slot instead of 8. Ids an append brings outside
// that window need a new store (see grow_ids), so the window is centred on the ids it was made
// for: later ids on either side fit until they stray about 2^31 from them.
class id_store {
   public:
    // Room for `capacity` ids, narrow if every id in [low, high] can be.
    id_store(std::size_t capacity, code_id low, code_id high);

    code_id operator[](std::size_t slot) const noexcept {
        return narrow_ ? static_cast<code_id>(base_ + offsets_[slot]) : static_cast<code_id>(wide_[slot]);
    }
    bool fits(code_id id) const noexcept { return !narrow_ || static_cast<std::uint64_t>(id) - base_ <= 0xFFFFFFFFu; }
    bool narrow() const noexcept { return narrow_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t memory_bytes() const noexcept { return offsets_.bytes() + wide_.bytes(); }
    // Writes ids at slots [at, at + n): each fits(), and at is past the count of every snapshot.
    void write(std::size_t at, const code_id* ids, std::size_t n) noexcept;

   private:
    std::size_t capacity_;
    bool narrow_;
    std::uint64_t base_ = 0;  // the window's first id, as unsigned
    large_array<std::uint32_t> offsets_;
    large_array<std::uint64_t> wide_;
};

// A store holding the first `count` ids of `from` (or none) and room for `capacity`, with a
// window that also takes every id in [low, high].
std::shared_ptr<id_store> grow_ids(const id_store* from, std::size_t count, std::size_t capacity, code_id low,
                                   code_id high);

}  // namespace quorvalent::codes

#endif
