// Ids, removal and compaction, groups and the sweep, against a plain model: a list of (id,
// code) kept in insertion order, searched by brute force.
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <set>

#include "codes/state.hpp"
#include "codes/storage.hpp"
#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::distance;
using index_tests::rng;

namespace {

struct model {
    unsigned bits;
    std::size_t words;
    std::vector<qc::code_id> ids;
    std::vector<std::vector<std::uint64_t>> codes;

    std::vector<qc::hit> within(const std::uint64_t* q, unsigned r) const {
        std::vector<qc::hit> out;
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const unsigned d = distance(codes[k].data(), q, words);
            if (d <= r) out.push_back({d, ids[k]});
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // (first, second, d) with first < second by id, sorted.
    std::vector<index_tests::pair_row> pairs(unsigned r) const {
        std::vector<index_tests::pair_row> out;
        for (std::size_t a = 0; a < ids.size(); ++a) {
            for (std::size_t b = a + 1; b < ids.size(); ++b) {
                const unsigned d = distance(codes[a].data(), codes[b].data(), words);
                if (d > r) continue;
                const auto [x, y] = std::minmax(ids[a], ids[b]);
                out.push_back({x, y, static_cast<std::int32_t>(d)});
            }
        }
        std::sort(out.begin(), out.end(), [](const auto& p, const auto& q) { return p.i != q.i ? p.i < q.i : p.j < q.j; });
        return out;
    }
    void remove(qc::code_id id) {
        const auto at = std::find(ids.begin(), ids.end(), id) - ids.begin();
        ids.erase(ids.begin() + at);
        codes.erase(codes.begin() + at);
    }
};

std::vector<std::uint64_t> random_code(unsigned bits, const std::vector<std::uint64_t>* near = nullptr) {
    const std::size_t w = quorvalent::words_for_bits(bits);
    std::vector<std::uint64_t> c(w);
    if (near) {
        c = *near;
        for (int f = static_cast<int>(rng()() % 4); f > 0; --f) c[rng()() % w] ^= 1ull << (rng()() % 64);
    } else {
        for (auto& x : c) x = rng()();
    }
    index_tests::clip(c.data(), bits);
    return c;
}

void expect_hits(const std::vector<qc::hit>& got, const std::vector<qc::hit>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].id, want[k].id) << what << " at " << k;
        ASSERT_EQ(got[k].dist, want[k].dist) << what << " at " << k;
    }
}

// Ids within 2^32 of one another are held in 4 bytes; any id reads back as it was written,
// however the window lies, and a store grown for ids outside it holds them all.
TEST(Ids, NarrowIdsReadBackExactlyAndWidenWhenTheyMust) {
    struct window {
        qc::code_id low, high;
        bool narrow;
    };
    const qc::code_id big = qc::code_id{1} << 32;
    for (const window& w : {window{0, big - 1, true}, window{0, big, false}, window{-5, 5, true},
                            window{INT64_MAX - 5, INT64_MAX, true}, window{INT64_MIN, INT64_MIN + 7, true},
                            window{INT64_MIN, INT64_MAX, false}, window{-big / 2, big / 2 - 1, true}}) {
        const std::string what = std::to_string(w.low) + ".." + std::to_string(w.high);
        qc::id_store s(2, w.low, w.high);
        ASSERT_EQ(s.narrow(), w.narrow) << what;
        EXPECT_EQ(s.memory_bytes(), 2 * (w.narrow ? 4u : 8u)) << what;
        ASSERT_TRUE(s.fits(w.low) && s.fits(w.high)) << what;
        const qc::code_id ends[] = {w.low, w.high};
        s.write(0, ends, 2);
        EXPECT_EQ(s[0], w.low) << what;
        EXPECT_EQ(s[1], w.high) << what;
    }
    // A window at the largest ids wraps to the smallest, and still names them exactly.
    qc::id_store top(1, INT64_MAX - 5, INT64_MAX);
    ASSERT_TRUE(top.fits(INT64_MIN));
    EXPECT_FALSE(top.fits(0));
    const qc::code_id smallest = INT64_MIN;
    top.write(0, &smallest, 1);
    EXPECT_EQ(top[0], INT64_MIN);
    // The window is centred: ids on either side fit until they stray about 2^31.
    qc::id_store middle(1, 1000, 1000);
    EXPECT_TRUE(middle.fits(1000 - (big / 2 - 1)) && middle.fits(1000 + big / 2 - 1));
    EXPECT_FALSE(middle.fits(1000 - big) || middle.fits(1000 + big));

    qc::id_store held(3, 10, 20);
    const qc::code_id three[] = {20, 10, 15};
    held.write(0, three, 3);
    for (const window& w : {window{-7, -7, true}, window{10 + big, 10 + big, false}}) {
        const auto grown = qc::grow_ids(&held, 3, 5, w.low, w.high);
        ASSERT_EQ(grown->narrow(), w.narrow);
        ASSERT_TRUE(grown->fits(w.low));
        grown->write(3, &w.low, 1);
        EXPECT_EQ(grown->capacity(), 5u);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ((*grown)[k], three[k]);
        EXPECT_EQ((*grown)[3], w.low);
    }

    // Through an index: the third add lands in room the second left, unless its ids do not fit.
    for (const qc::code_id far : {qc::code_id{-3000000000}, qc::code_id{4000000000}, INT64_MIN, INT64_MAX}) {
        qc::code_index index(64, {nullptr, 64});
        qc::job j(1);
        std::vector<std::uint64_t> codes(120);
        std::vector<qc::code_id> ids(120);
        for (std::size_t k = 0; k < 120; ++k) codes[k] = rng()(), ids[k] = static_cast<qc::code_id>(k) * 3;
        ids[115] = far;
        index.append(codes.data(), ids.data(), 100, j);
        index.append(codes.data() + 100, ids.data() + 100, 10, j);
        index.append(codes.data() + 110, ids.data() + 110, 10, j);
        const qc::index_snapshot s = index.snapshot();
        for (std::size_t k = 0; k < 120; ++k) {
            std::uint64_t c = 0;
            ASSERT_TRUE(s.code_of(ids[k], &c)) << far << ": id " << ids[k];
            EXPECT_EQ(c, codes[k]);
        }
    }
}

// The whole surface against the model after every step of a random history of appends (with
// ids ascending, shuffled, or numbered by insertion), removals and compactions.
TEST(Ids, EverySearchAgreesWithTheModelThroughAddsRemovalsAndCompactions) {
    for (int history = 0; history < 12; ++history) {
        const unsigned bits = history % 3 == 0 ? 64 : history % 3 == 1 ? 20 : 130;
        const bool given = history % 2 == 0;
        qc::code_index index(bits, {nullptr, 64});
        model m{bits, quorvalent::words_for_bits(bits), {}, {}};
        qc::code_id next = 0;
        std::set<qc::code_id> used;
        std::string log;
        std::vector<std::vector<std::uint64_t>> removed_codes;
        for (int step = 0; step < 14; ++step) {
            qc::job j(2);
            const int action = static_cast<int>(rng()() % 4);
            log += std::to_string(action) + " ";
            if (action < 2 || m.ids.empty()) {
                const std::size_t n = 1 + rng()() % 120;
                std::vector<std::uint64_t> codes;
                std::vector<qc::code_id> ids;
                for (std::size_t k = 0; k < n; ++k) {
                    const auto c = m.codes.empty() || rng()() % 3 ? random_code(bits) : random_code(bits, &m.codes[rng()() % m.codes.size()]);
                    codes.insert(codes.end(), c.begin(), c.end());
                    qc::code_id id = next++;
                    // Shuffled ids, removed ids given again, negative ids.
                    if (given && history % 4 == 0) id = static_cast<qc::code_id>(rng()() % 1000000) - 500000;
                    // Now and then an id far from the others: the store of narrow ids must widen,
                    // or move its window, and keep every id it held.
                    if (given && history % 4 == 2 && step >= 3 && rng()() % 40 == 0) {
                        const qc::code_id far[] = {INT64_MIN, INT64_MAX, -(qc::code_id{1} << 40), qc::code_id{1} << 33,
                                                   -3000000000, 4000000000};
                        id = far[rng()() % 6] + static_cast<qc::code_id>(next % 2);
                    }
                    if (given && !used.empty() && rng()() % 10 == 0) {
                        const qc::code_id old = *used.begin();
                        if (std::find(m.ids.begin(), m.ids.end(), old) == m.ids.end()) id = old;
                    }
                    if (std::find(ids.begin(), ids.end(), id) != ids.end() || std::find(m.ids.begin(), m.ids.end(), id) != m.ids.end()) {
                        id = 1000000 + next++;
                    }
                    ids.push_back(id);
                }
                index.append(codes.data(), given ? ids.data() : nullptr, n, j);
                for (std::size_t k = 0; k < n; ++k) {
                    m.ids.push_back(given ? ids[k] : 0);
                    m.codes.emplace_back(codes.begin() + static_cast<std::ptrdiff_t>(k * m.words), codes.begin() + static_cast<std::ptrdiff_t>((k + 1) * m.words));
                }
                if (!given) {
                    // Insertion numbers continue across removals and compactions.
                    const qc::code_id first = index.snapshot().next_id() - static_cast<qc::code_id>(n);
                    for (std::size_t k = 0; k < n; ++k) m.ids[m.ids.size() - n + k] = first + static_cast<qc::code_id>(k);
                }
                for (auto id : ids) used.insert(id);
            } else if (action == 2) {
                // Few enough at a time that removed codes stay in the tables until a compaction.
                std::vector<qc::code_id> gone;
                for (std::size_t k = 0; k < m.ids.size(); ++k) {
                    if (rng()() % 25 == 0) gone.push_back(m.ids[k]);
                }
                EXPECT_EQ(index.remove(gone.data(), gone.size(), j), gone.size());
                for (auto id : gone) {
                    const auto at = std::find(m.ids.begin(), m.ids.end(), id) - m.ids.begin();
                    removed_codes.push_back(m.codes[static_cast<std::size_t>(at)]);
                    m.remove(id);
                    EXPECT_FALSE(index.snapshot().contains(id)) << "removed " << id;
                }
            } else {
                index.compact(j);
            }
            const qc::index_snapshot s = index.snapshot();
            const std::string what = "history " + std::to_string(history) + " step " + std::to_string(step) + " (" + log + ")";
            ASSERT_EQ(s.size(), m.ids.size()) << what;
            for (std::size_t k = 0; k < m.ids.size(); ++k) {
                ASSERT_TRUE(s.contains(m.ids[k])) << what << " lost " << m.ids[k];
                std::vector<std::uint64_t> c(m.words);
                ASSERT_TRUE(s.code_of(m.ids[k], c.data()));
                ASSERT_EQ(c, m.codes[k]);
            }
            std::vector<qc::code_id> live(m.ids.size());
            std::vector<std::uint64_t> codes(m.ids.size() * m.words);
            s.copy_live(codes.data(), live.data());
            for (std::size_t k = 0; k < live.size(); ++k) {
                if (live[k] != m.ids[k]) {
                    std::string dump;
                    for (std::size_t x = k > 3 ? k - 3 : 0; x < std::min(live.size(), k + 6); ++x) dump += std::to_string(live[x]) + "/" + std::to_string(m.ids[x]) + " ";
                    FAIL() << what << ": live ids in insertion order, at " << k << " of " << live.size() << ": " << dump;
                }
            }
            // The codes of removed ids are the queries most likely to find them again.
            const auto q = !removed_codes.empty() && step % 2 ? removed_codes[rng()() % removed_codes.size()]
                           : m.codes.empty()                  ? random_code(bits)
                                                              : random_code(bits, &m.codes[rng()() % m.codes.size()]);
            for (unsigned r : {0u, 3u, 9u}) expect_hits(s.within(q.data(), r), m.within(q.data(), r), what + " within");
            const auto all = m.within(q.data(), bits);
            expect_hits(s.nearest(q.data(), 5), std::vector<qc::hit>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(5, all.size()))),
                        what + " nearest");
            const unsigned r = bits == 20 ? 2 : 8;
            qc::job pj(2);
            ASSERT_EQ(index_tests::rows_of(s.pairs(r, pj)), m.pairs(r)) << what << " pairs";
            qc::pair_stream stream(s, nullptr, r, 3);
            std::vector<index_tests::pair_row> streamed;
            for (auto part = stream.next(pj); part.size(); part = stream.next(pj)) {
                for (const auto& row : index_tests::rows_of(part)) streamed.push_back(row);
            }
            ASSERT_EQ(streamed, m.pairs(r)) << what << " streamed";
        }
    }
}

TEST(Ids, ABadAppendOrRemovalChangesNothingAndNamesTheId) {
    qc::code_index index(64);
    qc::job j;
    const std::uint64_t codes[] = {1, 2, 3, 4};
    const qc::code_id ids[] = {10, 20, 30, 40};
    index.append(codes, ids, 2, j);
    const qc::code_id repeated[] = {30, 40, 30};
    try {
        index.append(codes, repeated, 3, j);
        FAIL();
    } catch (const qc::duplicate_id& e) {
        EXPECT_EQ(e.id, 30);
    }
    const qc::code_id held[] = {30, 20};
    try {
        index.append(codes, held, 2, j);
        FAIL();
    } catch (const qc::duplicate_id& e) {
        EXPECT_EQ(e.id, 20);
    }
    EXPECT_THROW(index.append(codes, 2, j), qc::id_mode_error);
    EXPECT_EQ(index.snapshot().size(), 2u);
    const qc::code_id unknown[] = {10, 99, 20};
    try {
        index.remove(unknown, 3, j);
        FAIL();
    } catch (const qc::unknown_id& e) {
        EXPECT_EQ(e.id, 99);
    }
    EXPECT_TRUE(index.snapshot().contains(10));
    const qc::code_id twice[] = {10, 10};
    EXPECT_EQ(index.remove(twice, 2, j), 1u);
    EXPECT_FALSE(index.snapshot().contains(10));
    EXPECT_THROW(index.remove(twice, 1, j), qc::unknown_id);
    // A removed id may come back.
    index.append(codes + 3, twice, 1, j);
    std::uint64_t c;
    ASSERT_TRUE(index.snapshot().code_of(10, &c));
    EXPECT_EQ(c, 4u);
    qc::code_index numbered(64);
    numbered.append(codes, 2, j);
    EXPECT_THROW(numbered.append(codes, ids, 2, j), qc::id_mode_error);
}

TEST(Ids, RemovalsCompactThemselvesOnceTheyPassTheirShare) {
    const auto d = index_tests::make_codes(64, 8000);
    qc::code_index index(64);
    qc::job j;
    index.append(d.codes.data(), d.size(), j);
    const std::size_t before = index.snapshot().memory_bytes();
    std::vector<qc::code_id> gone;
    for (qc::code_id id = 0; id < 8000; id += 9) gone.push_back(id);  // under an eighth
    index.remove(gone.data(), gone.size(), j);
    EXPECT_GE(index.snapshot().memory_bytes(), before) << "compacted too soon";
    gone.clear();
    for (qc::code_id id = 1; id < 8000; id += 9) gone.push_back(id);  // now past an eighth
    index.remove(gone.data(), gone.size(), j);
    EXPECT_LT(index.snapshot().memory_bytes(), before);
    // The survivors keep their insertion numbers; new codes continue after the last.
    EXPECT_TRUE(index.snapshot().contains(2) && !index.snapshot().contains(1));
    index.append(d.codes.data(), 1, j);
    EXPECT_TRUE(index.snapshot().contains(8000));
}

// Large enough that the k-nearest search probes its tables rather than scanning.
TEST(Ids, TheNearestOfARemovedCodeIsNeverItself) {
    const auto d = index_tests::make_codes(64, 60000);
    qc::code_index index(64);
    qc::job j;
    index.append(d.codes.data(), d.size(), j);
    std::vector<qc::code_id> gone;
    for (qc::code_id id = 5; id < 60000; id += 40) gone.push_back(id);
    index.remove(gone.data(), gone.size(), j);
    const qc::index_snapshot s = index.snapshot();
    for (std::size_t k = 0; k < 60; ++k) {
        const std::uint64_t q = d.codes[static_cast<std::size_t>(gone[k * 7])];
        std::vector<qc::hit> want;
        for (std::size_t i = 0; i < d.size(); ++i) {
            if ((i + 35) % 40 != 0) want.push_back({index_tests::model_popcount(d.codes[i] ^ q), static_cast<qc::code_id>(i)});
        }
        std::sort(want.begin(), want.end());
        want.resize(3);
        expect_hits(s.nearest(&q, 3), want, "nearest of removed code " + std::to_string(gone[k * 7]));
        for (const auto& h : s.within(&q, 4)) EXPECT_NE((h.id + 35) % 40, 0) << "a removed code answered";
    }
}

//--- Groups -----------------------------------------------------------------------------------

struct union_find {
    std::vector<std::size_t> parent;
    explicit union_find(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    std::size_t find(std::size_t x) { return parent[x] == x ? x : parent[x] = find(parent[x]); }
    void unite(std::size_t a, std::size_t b) { parent[find(a)] = find(b); }
};

// Representatives by the model: components by union-find over brute-force pairs, star by the
// plain greedy; precedence over positions (insertion order), lower first.
std::vector<qc::code_id> model_groups(const model& m, unsigned r, qc::group_method method, const std::vector<std::uint32_t>& prec) {
    const std::size_t n = m.ids.size();
    std::vector<std::size_t> rep(n);
    if (method == qc::group_method::components) {
        union_find sets(n);
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = a + 1; b < n; ++b) {
                if (distance(m.codes[a].data(), m.codes[b].data(), m.words) <= r) sets.unite(a, b);
            }
        }
        std::map<std::size_t, std::size_t> best;
        for (std::size_t k = 0; k < n; ++k) {
            auto [it, fresh] = best.emplace(sets.find(k), k);
            if (!fresh && prec[k] < prec[it->second]) it->second = k;
        }
        for (std::size_t k = 0; k < n; ++k) rep[k] = best[sets.find(k)];
    } else {
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return prec[a] < prec[b]; });
        std::vector<bool> assigned(n, false);
        for (std::size_t x : order) {
            if (assigned[x]) continue;
            for (std::size_t y = 0; y < n; ++y) {
                if (!assigned[y] && distance(m.codes[x].data(), m.codes[y].data(), m.words) <= r) {
                    assigned[y] = true;
                    rep[y] = x;
                }
            }
        }
    }
    // In id order.
    std::vector<std::size_t> by_id(n);
    std::iota(by_id.begin(), by_id.end(), 0);
    std::sort(by_id.begin(), by_id.end(), [&](std::size_t a, std::size_t b) { return m.ids[a] < m.ids[b]; });
    std::vector<qc::code_id> reps;
    for (std::size_t k : by_id) reps.push_back(m.ids[rep[k]]);
    return reps;
}

// Data of three kinds: random, clustered around a few centres, and heavily repeated.
model grouped_data(unsigned bits, int kind, std::size_t n) {
    model m{bits, quorvalent::words_for_bits(bits), {}, {}};
    std::vector<std::vector<std::uint64_t>> centres;
    for (int c = 0; c < 6; ++c) centres.push_back(random_code(bits));
    for (std::size_t k = 0; k < n; ++k) {
        if (kind == 0) {
            m.codes.push_back(random_code(bits));
        } else if (kind == 1) {
            m.codes.push_back(random_code(bits, &centres[rng()() % centres.size()]));
        } else {
            m.codes.push_back(k % 3 ? centres[k % 2] : random_code(bits, &centres[2]));
        }
        m.ids.push_back(static_cast<qc::code_id>(k) * 7 - 300);
    }
    return m;
}

TEST(Groups, ComponentsStarAndSweepAgreeWithTheModelInAnyInsertionOrder) {
    for (int kind = 0; kind < 3; ++kind) {
        for (unsigned bits : {64u, 24u, 100u}) {
            const model m = grouped_data(bits, kind, 400);
            for (bool prioritised : {false, true}) {
                std::vector<std::uint32_t> prec(m.ids.size());
                if (prioritised) {
                    std::iota(prec.begin(), prec.end(), 0u);
                    std::shuffle(prec.begin(), prec.end(), rng());
                } else {
                    // The default: the lowest id first; ids ascend with insertion here.
                    std::iota(prec.begin(), prec.end(), 0u);
                }
                for (int shuffle = 0; shuffle < 2; ++shuffle) {
                    // The same codes, ids and priorities inserted in another order.
                    std::vector<std::size_t> order(m.ids.size());
                    std::iota(order.begin(), order.end(), 0);
                    if (shuffle) std::shuffle(order.begin(), order.end(), rng());
                    qc::code_index index(bits, {nullptr, 64});
                    std::vector<std::uint64_t> codes;
                    std::vector<qc::code_id> ids;
                    std::vector<std::uint32_t> inserted_prec;
                    for (std::size_t k : order) {
                        codes.insert(codes.end(), m.codes[k].begin(), m.codes[k].end());
                        ids.push_back(m.ids[k]);
                        inserted_prec.push_back(prec[k]);
                    }
                    qc::job j(3);
                    // The last tenth appended on its own stays outside the tables, where the
                    // copies of codes filed in them must still be found.
                    const std::size_t filed = ids.size() - ids.size() / 10;
                    index.append(codes.data(), ids.data(), filed, j);
                    index.append(codes.data() + filed * m.words, ids.data() + filed, ids.size() - filed, j);
                    const qc::index_snapshot s = index.snapshot();
                    ASSERT_LT(qc::state_of(s).indexed(), ids.size());
                    const std::string what = "kind " + std::to_string(kind) + " bits " + std::to_string(bits);
                    for (unsigned r : {0u, 2u, 6u}) {
                        for (auto method : {qc::group_method::components, qc::group_method::star}) {
                            qc::job gj(1 + static_cast<unsigned>(shuffle) * 2);
                            const qc::group_columns got = s.groups(r, method, inserted_prec.data(), gj);
                            std::vector<qc::code_id> sorted_ids(m.ids);
                            std::sort(sorted_ids.begin(), sorted_ids.end());
                            ASSERT_EQ(got.ids, sorted_ids) << what;
                            ASSERT_EQ(got.reps, model_groups(m, r, method, prec)) << what << " r=" << r << " method "
                                                                                   << static_cast<int>(method);
                        }
                    }
                    // The sweep: pairs, components of two or more, codes dropped, the largest.
                    const std::vector<unsigned> radii = {6, 0, 2, 2, 4};
                    qc::job sj(2);
                    const auto rows = s.sweep(radii, sj);
                    ASSERT_EQ(rows.size(), radii.size());
                    for (std::size_t k = 0; k < radii.size(); ++k) {
                        const unsigned r = radii[k];
                        union_find sets(m.ids.size());
                        std::uint64_t pairs = 0;
                        for (std::size_t a = 0; a < m.ids.size(); ++a) {
                            for (std::size_t b = a + 1; b < m.ids.size(); ++b) {
                                if (distance(m.codes[a].data(), m.codes[b].data(), m.words) <= r) {
                                    ++pairs;
                                    sets.unite(a, b);
                                }
                            }
                        }
                        std::map<std::size_t, std::uint64_t> sizes;
                        for (std::size_t a = 0; a < m.ids.size(); ++a) ++sizes[sets.find(a)];
                        std::uint64_t groups = 0, largest = 0;
                        for (const auto& [root, size] : sizes) {
                            groups += size >= 2;
                            largest = std::max(largest, size);
                        }
                        EXPECT_EQ(rows[k].radius, r);
                        EXPECT_EQ(rows[k].pairs, pairs) << what << " r=" << r;
                        EXPECT_EQ(rows[k].groups, groups) << what << " r=" << r;
                        EXPECT_EQ(rows[k].dropped, m.ids.size() - sizes.size()) << what << " r=" << r;
                        EXPECT_EQ(rows[k].largest, largest) << what << " r=" << r;
                    }
                }
            }
        }
    }
}

// A million copies of one hash would be 5 x 10^11 pairs: grouping must not enumerate them.
// Here 200,000 copies (2 x 10^10 pairs) group at once, beside codes that group normally.
TEST(Groups, IdenticalCodesAreGroupedWithoutTheirPairs) {
    std::vector<std::uint64_t> codes(200000, 0xfeedfacecafebeefull);
    for (std::size_t k = 0; k < 1000; ++k) codes.push_back(rng()());
    codes.push_back(0xfeedfacecafebeefull ^ 1);
    qc::code_index index(64);
    qc::job j(2);
    index.append(codes.data(), codes.size(), j);
    qc::job gj(2);
    gj.result_budget = 64 << 20;  // enumerating the copies' pairs would pass this at once
    const auto groups = index.snapshot().groups(2, qc::group_method::components, nullptr, gj);
    ASSERT_EQ(groups.ids.size(), codes.size());
    for (std::size_t k = 0; k < 200000; ++k) ASSERT_EQ(groups.reps[k], 0);
    EXPECT_EQ(groups.reps.back(), 0) << "the near copy joins the group";
    qc::job sj(2);
    sj.result_budget = 64 << 20;
    const auto rows = index.snapshot().sweep({0, 1}, sj);
    EXPECT_EQ(rows[0].pairs, 200000ull * 199999 / 2);
    EXPECT_EQ(rows[1].pairs, 200000ull * 199999 / 2 + 200000);
    EXPECT_EQ(rows[1].largest, 200001u);
}

}  // namespace
