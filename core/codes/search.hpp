// The index's two search loops, and the handlers they feed.
//
// scan_codes() compares a run of codes with a query; probe_tables() visits the buckets of
// every table within its threshold. Both hand each code they find within the handler's bound
// to handler.add(dist, slot), once. What is done with it (kept in a range, in the k best,
// paired with the query's own slot, counted) is the handler's business; a new kind of answer
// is a new handler, not a new loop. Every candidate passes through candidate_distance().
//
// A handler provides:
//   unsigned bound() const         the largest distance it still takes (may shrink)
//   bool wants(slot_t) const       whether the slot may be reported at all
//   void add(unsigned dist, slot_t)
#ifndef QUORVALENT_CODES_SEARCH_HPP
#define QUORVALENT_CODES_SEARCH_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "codes/state.hpp"
#include "common/portability.hpp"

namespace quorvalent::codes {

inline unsigned full_distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t w) noexcept {
    unsigned d = 0;
    for (std::size_t k = 0; k < w; ++k) d += popcount64_baseline(a[k] ^ b[k]);
    return d;
}

// The distance of a candidate to q, or a value above `bound` when it is out of reach. x is the
// XOR of the candidate's word that its table keys on with the query's: for a code of one word,
// the whole distance; for a longer one, a lower bound that rejects most candidates before the
// other words are read.
inline unsigned candidate_distance(const index_state& s, slot_t slot, std::uint64_t x, const std::uint64_t* q,
                                   unsigned bound) noexcept {
    const unsigned word_distance = popcount64_baseline(x);
    if (s.words == 1 || word_distance > bound) return word_distance;
    return full_distance(s.code(slot), q, s.words);
}

// Whether table i owns the pair: no earlier included table has its block within threshold.
inline bool owned_by(const std::vector<table>& tables, const std::vector<int>& t, std::size_t i,
                     const std::uint64_t* a, const std::uint64_t* b) noexcept {
    for (std::size_t j = 0; j < i; ++j) {
        if (t[j] < 0) continue;
        const unsigned w = tables[j].word();
        if (tables[j].block_distance(a[w] ^ b[w]) <= static_cast<unsigned>(t[j])) return false;
    }
    return true;
}

// Entry e of table i, whose bits (the entry's word, or a compact table's block) differ from
// q's word by x, tested as every candidate is and handed to h if it passes: the cheap tests of
// the word and the block first, then whether the slot is live and wanted, the whole distance,
// and whether table i owns the pair. For codes of one word the entry is the whole code.
template <class Handler>
inline void check_entry(const index_state& s, const std::vector<int>& thresholds, std::size_t i, std::uint32_t e,
                        std::uint64_t bits, std::uint64_t x, const std::uint64_t* q, Handler& h) {
    const std::vector<table>& tables = s.tables->tables;
    const table& t = tables[i];
    const unsigned bound = h.bound();
    if (popcount64_baseline(x) > bound || t.block_distance(x) > static_cast<unsigned>(thresholds[i])) return;
    const slot_t slot = t.entry_slot(e);
    if (!s.live(slot) || !h.wants(slot)) return;
    const std::uint64_t* c = s.words == 1 ? &bits : s.code(slot);
    const unsigned d = s.words == 1 ? popcount64_baseline(x) : full_distance(c, q, s.words);
    if (d > bound || !owned_by(tables, thresholds, i, c, q)) return;
    h.add(d, slot);
}

// Codes [from, to) of the state against q.
template <class Handler>
void scan_codes(const index_state& s, std::size_t from, std::size_t to, const std::uint64_t* q, Handler& h) {
    constexpr std::size_t chunk = 1 << 12;  // hits of one kernel call, on the stack
    std::uint32_t hits[chunk];
    const std::size_t w = s.words;
    for (std::size_t start = from; start < to; start += chunk) {
        const std::size_t n = std::min(chunk, to - start);
        const std::uint64_t* c = s.codes() + start * w;
        const unsigned r = h.bound();
        const std::size_t found = w == 1 ? s.scan->within(c, n, q[0], r, hits) : s.scan->within_wide(c, n, w, q, r, hits);
        for (std::size_t k = 0; k < found; ++k) {
            const auto slot = static_cast<slot_t>(start + hits[k]);
            if (!s.live(slot) || !h.wants(slot)) continue;
            const unsigned d = w == 1 ? popcount64_baseline(c[hits[k]] ^ q[0]) : full_distance(s.code(slot), q, w);
            if (d <= h.bound()) h.add(d, slot);
        }
    }
}

// The candidates of a probe of codes of several words: each costs two misses, one after the
// other (its slot, then its whole code), and a clustered query has hundreds of them (850 for a
// 256-bit query at r = 31 among codes drawn around 5,000 centres). They wait in two short
// queues, their lines asked for as they enter, so that several candidates' misses overlap.
template <class Handler>
class candidate_pipeline {
   public:
    candidate_pipeline(const index_state& s, const std::vector<int>& thresholds, const std::uint64_t* q, Handler& h)
        : s_(s), tables_(s.tables->tables), thresholds_(thresholds), q_(q), h_(h) {}
    candidate_pipeline(const candidate_pipeline&) = delete;
    candidate_pipeline& operator=(const candidate_pipeline&) = delete;
    // Entry e of table i, whose block differs from the query's by x, passed the block's test.
    void add(std::size_t i, std::uint32_t e, std::uint64_t x) {
        tables_[i].prefetch_slot(e);
        if (entries_in_ - entries_out_ == depth) take_slot();
        entries_[entries_in_++ % depth] = {static_cast<std::uint32_t>(i), e, x};
    }
    void finish() {
        while (entries_out_ != entries_in_) take_slot();
        while (slots_out_ != slots_in_) compare();
    }

   private:
    static constexpr std::size_t depth = 4;
    struct candidate {
        std::uint32_t table, at;  // an entry, then a slot
        std::uint64_t x;
    };
    void take_slot() {
        const candidate c = entries_[entries_out_++ % depth];
        const slot_t slot = tables_[c.table].entry_slot(c.at);
        if (!s_.live(slot) || !h_.wants(slot)) return;
        prefetch(s_.code(slot));
        if (slots_in_ - slots_out_ == depth) compare();
        slots_[slots_in_++ % depth] = {c.table, slot, c.x};
    }
    void compare() {
        const candidate c = slots_[slots_out_++ % depth];
        // The bound only shrinks, so a candidate let in under an older one is judged fairly.
        const unsigned bound = h_.bound();
        const unsigned d = candidate_distance(s_, c.at, c.x, q_, bound);
        if (d > bound || !owned_by(tables_, thresholds_, c.table, s_.code(c.at), q_)) return;
        h_.add(d, c.at);
    }

    const index_state& s_;
    const std::vector<table>& tables_;
    const std::vector<int>& thresholds_;
    const std::uint64_t* q_;
    Handler& h_;
    candidate entries_[depth], slots_[depth];
    std::size_t entries_in_ = 0, entries_out_ = 0, slots_in_ = 0, slots_out_ = 0;
};

// Which of the eight rests at p differ from q in at most `most` bits: bit k for p[k]. The
// scalar form is the reference; the others are checked against it.
inline unsigned rests_within_reference(const std::uint16_t* p, std::uint16_t q, unsigned most) noexcept {
    unsigned m = 0;
    for (unsigned k = 0; k < 8; ++k) m |= static_cast<unsigned>(popcount64_baseline(p[k] ^ q) <= most) << k;
    return m;
}

// Four 16-bit lanes at a time in a 64-bit word, for CPUs without 128-bit integer vectors.
inline unsigned rests_within_swar(const std::uint16_t* p, std::uint16_t q, unsigned most) noexcept {
    constexpr std::uint64_t ones = 0x0001000100010001ull;
    const std::uint64_t limit = ones * (0x8000 + std::min(most, 16u));
    unsigned m = 0;
    for (unsigned half = 0; half < 2; ++half) {
        std::uint64_t x;
        std::memcpy(&x, p + 4 * half, 8);
        x ^= ones * q;
        x = x - ((x >> 1) & (ones * 0x5555));
        x = (x & (ones * 0x3333)) + ((x >> 2) & (ones * 0x3333));
        x = (x + (x >> 4)) & (ones * 0x0f0f);
        x = (x + (x >> 8)) & (ones * 0x001f);  // each lane's count, 0 to 16
        // A lane's top bit survives the subtraction exactly when its count is at most `most`.
        const std::uint64_t top = (limit - x) & (ones * 0x8000);
        // Bits 15, 31, 47 and 63 to bits 0 to 3: each lands alone (16k + 15(3 - k) = 45 + k).
        m |= static_cast<unsigned>((((top >> 15) * 0x0000200040008001ull) >> 45) & 0xF) << (4 * half);
    }
    return m;
}

#if defined(__SSE2__) || defined(_M_X64)
// Most probed buckets leave the rest no bit at all (at r = 31, 816 of each table's 988 buckets
// differ from the query's key in all 3 bits the threshold allows; at r = 48, 8,568 of 12,616),
// and the next most one: those tests need no count. The buckets come in order of key distance,
// so which test runs is predicted.
inline unsigned rests_within_sse2(const std::uint16_t* p, std::uint16_t q, unsigned most) noexcept {
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi16(static_cast<short>(q)));
    const __m128i zero = _mm_setzero_si128();
    if (most == 0) {
        const __m128i same = _mm_cmpeq_epi16(x, zero);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(same, same))) & 0xFF;
    }
    if (most == 1) {
        // x & (x - 1) clears x's lowest bit: nothing is left of at most one bit.
        const __m128i single = _mm_cmpeq_epi16(_mm_and_si128(x, _mm_sub_epi16(x, _mm_set1_epi16(1))), zero);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(single, single))) & 0xFF;
    }
    const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0f);
    x = _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi16(x, 1), m1));
    x = _mm_add_epi8(_mm_and_si128(x, m2), _mm_and_si128(_mm_srli_epi16(x, 2), m2));
    x = _mm_and_si128(_mm_add_epi8(x, _mm_srli_epi16(x, 4)), m4);
    x = _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(x, 8)), _mm_set1_epi16(0x1f));
    const __m128i pass = _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(std::min(most, 16u) + 1)), x);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(pass, pass))) & 0xFF;
}
#endif

inline unsigned rests_within(const std::uint16_t* p, std::uint16_t q, unsigned most) noexcept {
#if defined(__SSE2__) || defined(_M_X64)
    return rests_within_sse2(p, q, most);
#else
    return rests_within_swar(p, q, most);
#endif
}

// f(e) for every entry e in [begin, end) of a compact table whose rest differs from q in at most
// `most` bits, eight rests at a time. The first eight are tested whatever the bucket holds,
// none included (the table's padding covers the read): clustered codes leave a quarter of the
// buckets a query visits empty, and a branch on it mispredicted (a clustered query at r = 48
// took 30% longer than a uniform one for as many entries).
template <class F>
inline void each_rest_within(const std::uint16_t* rests, std::uint32_t begin, std::uint32_t end, std::uint16_t q,
                             unsigned most, F&& f) {
    std::uint32_t e = begin;
    do {
        const unsigned left = std::min<std::uint32_t>(end - e, 8);
        for (unsigned m = rests_within(rests + e, q, most) & ((1u << left) - 1); m != 0; m &= m - 1) {
            f(e + lowest_set_bit(m));
        }
        e += 8;
    } while (e < end);
}

// Every bucket of t whose key differs from word's in `from` to `to` bits, by key distance, as
// read(bucket, begin, end, k): its entries [begin, end), k bits from word's key. Probed
// buckets are scattered over the table, so each costs two dependent misses: its offsets, then
// its entries. They go through a ring: a bucket's offsets are asked for when it is reached, its
// entries `lead` buckets later, and it is read `2 * lead` buckets later, so that many misses
// are in flight at once instead of one after another. The offsets are decoded once, when the
// entries are asked for, and kept for the read.
template <std::size_t lead, class Read>
void each_bucket_within(const table& t, std::uint64_t word, unsigned from, unsigned to, Read&& read) {
    constexpr std::size_t ring = 2 * lead;
    static_assert((ring & (ring - 1)) == 0);
    struct pending {
        std::uint32_t bucket, distance, begin, end;
    } slots[ring];
    const std::size_t qkey = t.key(word);
    std::size_t added = 0;
    auto ask = [&](std::size_t k) {
        pending& p = slots[k % ring];
        p.begin = t.begin(p.bucket);
        p.end = t.end(p.bucket);
        t.prefetch_entry(p.begin);
    };
    auto take = [&](std::size_t k) {
        const pending& p = slots[k % ring];
        read(static_cast<std::size_t>(p.bucket), p.begin, p.end, static_cast<unsigned>(p.distance));
    };
    const unsigned reach = std::min(to, t.key_bits());
    for (unsigned k = from; k <= reach; ++k) {
        for_each_mask(t.key_bits(), k, [&](std::uint64_t mask) {
            // The slot this bucket takes is that of the bucket 2 * lead before it: read that first.
            if (added >= 2 * lead) take(added - 2 * lead);
            const std::size_t bucket = qkey ^ static_cast<std::size_t>(mask);
            t.prefetch_offsets(bucket);
            slots[added % ring].bucket = static_cast<std::uint32_t>(bucket);
            slots[added % ring].distance = k;
            if (added >= lead) ask(added - lead);
            ++added;
        });
    }
    for (std::size_t k = added > lead ? added - lead : 0; k < added; ++k) ask(k);
    for (std::size_t k = added > 2 * lead ? added - 2 * lead : 0; k < added; ++k) take(k);
}

// The probe of a compact table. A uniform 256-bit query at r = 31 visits about 1,000 buckets
// of each of 8 tables and finds in them about 30,000 entries, of which a handful pass; the
// time went to the work around each bucket, not to its misses (the same query repeated, its
// lines all in cache, took 80% as long). So a bucket costs here two loads of offsets and a
// test of eight rests at once against what its key leaves of the threshold, with no branch on
// how many entries it holds; candidate(e, bucket) gets the entries that pass. The same query
// repeated (its lines in cache) now takes 60 us against 90 for varied ones.
template <class Candidate>
void probe_compact_table(const table& t, unsigned threshold, std::uint64_t word, Candidate&& candidate) {
    // A deeper ring than a table of words needs: a bucket costs less here, so more of them
    // cover a miss (a uniform 256-bit query at r = 31: 89-90 us at 32, 96-97 at 8, alternately).
    constexpr std::size_t lead = 32;
    const auto qrest = static_cast<std::uint16_t>(t.rest_of(word));
    const std::uint16_t* rests = t.entry_rests();
    auto read = [&](std::size_t bucket, std::uint32_t begin, std::uint32_t end, unsigned k) {
        each_rest_within(rests, begin, end, qrest, threshold - k, [&](std::uint32_t e) { candidate(e, bucket); });
    };
    each_bucket_within<lead>(t, word, 0, threshold, read);
}

// The probe of a table of whole words: found(e, x) for every entry whose word differs from
// `word` by x, in at most bound() bits (asked a bucket at a time: a k-nearest bound shrinks).
template <class Bound, class Found>
void probe_word_table(const table& t, unsigned threshold, std::uint64_t word, Bound&& bound, Found&& found) {
    // A uniform 64-bit query at r = 8 (3 tables of 18-bit keys, 516 buckets): 10.3-13.0 us at 16,
    // against 13.8-18.6 for the pipeline shared by all tables at 12; 8 and 32 did no better.
    constexpr std::size_t lead = 16;
    const std::uint64_t* words = t.entry_words();
    auto read = [&](std::size_t, std::uint32_t begin, std::uint32_t end, unsigned) {
        const unsigned most = bound();
        for (std::uint32_t e = begin; e < end; ++e) {
            const std::uint64_t x = words[e] ^ word;
            if (popcount64_baseline(x) <= most) found(e, x);
        }
    };
    each_bucket_within<lead>(t, word, 0, threshold, read);
}

// Every indexed code within the handler's bound of q that some table finds within its
// threshold, each reported once: through the first table whose block is within its threshold.
// The thresholds must cover the handler's bound.
template <class Handler>
void probe_tables(const index_state& s, const std::vector<int>& thresholds, const std::uint64_t* q, Handler& h) {
    const std::vector<table>& tables = s.tables->tables;
    candidate_pipeline<Handler> candidates(s, thresholds, q, h);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (thresholds[i] < 0) continue;
        const table& t = tables[i];
        const auto threshold = static_cast<unsigned>(thresholds[i]);
        const std::uint64_t word = q[t.word()];
        if (t.compact()) {
            const std::uint64_t held = word & t.layout().blk.mask;
            probe_compact_table(t, threshold, word, [&](std::uint32_t e, std::size_t bucket) {
                const std::uint64_t x = t.compact_entry_bits(e, bucket) ^ held;
                if (popcount64_baseline(x) <= h.bound()) candidates.add(i, e, x);
            });
        } else if (s.words == 1) {
            // A code of one word is its entry: nothing more to fetch.
            probe_word_table(t, threshold, word, [&] { return h.bound(); }, [&](std::uint32_t e, std::uint64_t x) {
                check_entry(s, thresholds, i, e, word ^ x, x, q, h);
            });
        } else {
            probe_word_table(t, threshold, word, [&] { return h.bound(); }, [&](std::uint32_t e, std::uint64_t x) {
                if (t.block_distance(x) <= threshold) candidates.add(i, e, x);
            });
        }
    }
    candidates.finish();
}

//--- Handlers --------------------------------------------------------------------------------

// Every code within r, as hits.
struct range_handler {
    const index_state& s;
    unsigned r;
    std::vector<hit>& out;
    unsigned bound() const noexcept { return r; }
    bool wants(slot_t) const noexcept { return true; }
    void add(unsigned d, slot_t slot) { out.push_back({d, s.id_of(slot)}); }
};

// The k best by (distance, id); a code enters only if it beats the worst kept.
class best_k_handler {
   public:
    best_k_handler(const index_state& s, std::size_t k, unsigned cap) : s_(s), k_(k), cap_(cap) { heap_.reserve(k); }
    unsigned bound() const noexcept { return heap_.size() < k_ ? cap_ : heap_.front().dist; }
    bool wants(slot_t) const noexcept { return true; }
    bool admits(unsigned d, slot_t slot) const noexcept {
        return heap_.size() < k_ || hit{d, s_.id_of(slot)} < heap_.front();
    }
    void add(unsigned d, slot_t slot) {
        const hit h{d, s_.id_of(slot)};
        if (heap_.size() < k_) {
            heap_.push_back(h);
            std::push_heap(heap_.begin(), heap_.end());
        } else if (h < heap_.front()) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.back() = h;
            std::push_heap(heap_.begin(), heap_.end());
        }
    }
    bool full() const noexcept { return heap_.size() == k_; }
    std::vector<hit> sorted() && {
        std::sort(heap_.begin(), heap_.end());
        return std::move(heap_);
    }

   private:
    const index_state& s_;
    std::size_t k_;
    unsigned cap_;
    std::vector<hit> heap_;
};

// One found pair of slots, (first, second), as joins collect them.
struct slot_pair {
    slot_t first, second;
    std::uint32_t dist;
};

// The partners of one code, as pairs (owner, partner) or (partner, owner), handed to a sink
// (see joins.cpp); with `after`, only partners later in id order, so that a self-join finds
// each pair from one side only.
template <class Sink>
struct partner_handler {
    slot_t owner;
    unsigned r;
    bool after;
    bool owner_first;
    Sink& out;
    const std::uint32_t* rank = nullptr;  // places in id order, when ids do not ascend with slots
    unsigned bound() const noexcept { return r; }
    bool wants(slot_t slot) const noexcept { return !after || (rank ? rank[slot] > rank[owner] : slot > owner); }
    void add(unsigned d, slot_t slot) { out.push(owner_first ? slot_pair{owner, slot, d} : slot_pair{slot, owner, d}); }
};

}  // namespace quorvalent::codes

#endif
