#include "bot/random_choice_bot.hpp"

#include "tet/board.hpp"

// The score rounds each product and each sum to double: no fused multiply-add.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace game::bot::random_choice_bot {

namespace {

using enum tet::TetAction;

// Cleared lines earn points.
constexpr double LINES_WEIGHT = 0.76;
// Every row of stack height costs points.
constexpr double HEIGHT_WEIGHT = -0.51;

// A chain with its actions held inline, for the compile-time tables.
struct ChainSpec {
    std::array<TetAction, MAX_CHAIN_LEN> actions{};
    std::uint8_t size = 0;

    constexpr void push(TetAction a) { actions[size++] = a; }
};

// The eight prefixes, in list order: hold first if at all, then the rotation (a half turn is
// two RotateRight, a counter-clockwise quarter turn one RotateLeft).
constexpr int PREFIX_NB = 8;
constexpr std::array<ChainSpec, PREFIX_NB> PREFIXES = {{
    {{}, 0},
    {{RotateLeft}, 1},
    {{RotateRight}, 1},
    {{RotateRight, RotateRight}, 2},
    {{Hold}, 1},
    {{Hold, RotateLeft}, 2},
    {{Hold, RotateRight}, 2},
    {{Hold, RotateRight, RotateRight}, 3},
}};

// Suffix s of every prefix's group of twelve: s = 0 and s = 6 drop at once (the list keeps the
// duplicate), s = 1..5 shift right s times, s = 7..11 shift left s - 6 times; then HardDrop.
constexpr int SUFFIX_NB = 12;
constexpr int SHIFTS_PER_SIDE = 6;
static_assert(PREFIX_NB * SUFFIX_NB == CHAIN_NB);

// Chain n is prefix n / 12 followed by suffix n % 12.
constexpr std::array<ChainSpec, CHAIN_NB> CHAIN_TABLE = [] {
    std::array<ChainSpec, CHAIN_NB> table{};
    for (int p = 0; p < PREFIX_NB; ++p)
        for (int s = 0; s < SUFFIX_NB; ++s) {
            ChainSpec& chain = table[p * SUFFIX_NB + s];
            for (int k = 0; k < PREFIXES[p].size; ++k) chain.push(PREFIXES[p].actions[k]);
            const TetAction shift = s < SHIFTS_PER_SIDE ? MoveRight : MoveLeft;
            for (int k = 0; k < s % SHIFTS_PER_SIDE; ++k) chain.push(shift);
            chain.push(HardDrop);
        }
    return table;
}();

static_assert(CHAIN_TABLE[0].size == 1 && CHAIN_TABLE[0].actions[0] == HardDrop);
static_assert(CHAIN_TABLE[95].size == MAX_CHAIN_LEN);

// Every prefix of every chain, numbered in order of first appearance (parents first).
struct PrefixTrie {
    static constexpr int CAPACITY = 1 + CHAIN_NB * MAX_CHAIN_LEN;

    int node_nb = 1;
    std::array<std::uint8_t, CAPACITY> parent{};
    std::array<TetAction, CAPACITY> action{};
    std::array<std::array<std::int16_t, tet::ACTION_NB>, CAPACITY> child{};
    std::array<bool, CAPACITY> leaf{};
    std::array<std::int16_t, CHAIN_NB> chain_node{};
};

constexpr PrefixTrie build_trie() {
    PrefixTrie t{};
    for (auto& row : t.child) row.fill(ChainTree::NO_NODE);
    for (int c = 0; c < CHAIN_NB; ++c) {
        int node = 0;
        for (int k = 0; k < CHAIN_TABLE[c].size; ++k) {
            const TetAction a = CHAIN_TABLE[c].actions[k];
            if (t.child[node][tet::index(a)] == ChainTree::NO_NODE) {
                t.child[node][tet::index(a)] = static_cast<std::int16_t>(t.node_nb);
                t.parent[t.node_nb] = static_cast<std::uint8_t>(node);
                t.action[t.node_nb] = a;
                ++t.node_nb;
            }
            node = t.child[node][tet::index(a)];
        }
        t.chain_node[c] = static_cast<std::int16_t>(node);
    }
    for (int n = 0; n < t.node_nb; ++n) {
        t.leaf[n] = true;
        for (std::int16_t ch : t.child[n]) t.leaf[n] = t.leaf[n] && ch == ChainTree::NO_NODE;
    }
    return t;
}

constexpr PrefixTrie TRIE = build_trie();

constexpr int inner_node_nb(const PrefixTrie& t) {
    int n = 0;
    for (int i = 0; i < t.node_nb; ++i) n += !t.leaf[i];
    return n;
}

static_assert(TRIE.node_nb == ChainTree::NODE_NB, "175 distinct non-empty prefixes");
static_assert(inner_node_nb(TRIE) == ChainTree::LEAF_BEGIN);

// The trie renumbered: inner nodes first, shallower before deeper, then leaves; first-appearance
// order within each group. No inner node then comes between another of the same depth and
// its parent, so the prefixes of one depth can be played as one batch.
constexpr ChainTree build_tree() {
    std::array<int, ChainTree::NODE_NB> depth{};
    int max_depth = 0;
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        depth[n] = depth[TRIE.parent[n]] + 1;
        max_depth = depth[n] > max_depth ? depth[n] : max_depth;
    }
    std::array<std::int16_t, ChainTree::NODE_NB> renumbered{};
    int next = 0;
    for (int d = 0; d <= max_depth; ++d)
        for (int n = 0; n < ChainTree::NODE_NB; ++n)
            if (!TRIE.leaf[n] && depth[n] == d) renumbered[n] = static_cast<std::int16_t>(next++);
    for (int n = 0; n < ChainTree::NODE_NB; ++n)
        if (TRIE.leaf[n]) renumbered[n] = static_cast<std::int16_t>(next++);

    ChainTree tree{};
    for (int n = 0; n < ChainTree::NODE_NB; ++n) {
        const int m = renumbered[n];
        tree.parent[m] = static_cast<std::uint8_t>(renumbered[TRIE.parent[n]]);
        tree.action[m] = TRIE.action[n];
        for (int a = 0; a < tet::ACTION_NB; ++a) {
            const std::int16_t ch = TRIE.child[n][a];
            tree.child[m][a] = ch == ChainTree::NO_NODE ? ChainTree::NO_NODE : renumbered[ch];
        }
    }
    for (int c = 0; c < CHAIN_NB; ++c) {
        tree.chain_node[c] = static_cast<std::uint8_t>(renumbered[TRIE.chain_node[c]]);
        tree.chain_size[c] = CHAIN_TABLE[c].size;
    }
    for (int size = 0; size <= MAX_CHAIN_LEN; ++size)
        for (int c = 0; c < CHAIN_NB; ++c)
            if (tree.chain_size[c] < size) ++tree.shorter[size];
    return tree;
}

constexpr ChainTree TREE = build_tree();

// Parents come before children, inner nodes by depth, and walking a chain from the root ends
// on a leaf that only HardDrop enters; no chain soft-drops (so each locks only at its end).
constexpr bool tree_is_sound(const ChainTree& t) {
    std::array<int, ChainTree::NODE_NB> depth{};
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        depth[n] = depth[t.parent[n]] + 1;
        if (n < ChainTree::LEAF_BEGIN && depth[n] < depth[n - 1]) return false;
    }
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        if (t.parent[n] >= n) return false;
        if (t.child[t.parent[n]][tet::index(t.action[n])] != n) return false;
        if ((n >= ChainTree::LEAF_BEGIN) != (t.action[n] == HardDrop)) return false;
        if (t.action[n] == SoftDrop) return false;
    }
    for (int c = 0; c < CHAIN_NB; ++c)
        if (t.chain_size[c] < 1 || t.chain_size[c] > MAX_CHAIN_LEN) return false;
    for (int c = 0; c < CHAIN_NB; ++c) {
        int node = 0;
        for (int k = 0; k < CHAIN_TABLE[c].size; ++k)
            node = t.child[node][tet::index(CHAIN_TABLE[c].actions[k])];
        if (node != t.chain_node[c] || node < ChainTree::LEAF_BEGIN) return false;
    }
    return true;
}
static_assert(tree_is_sound(TREE));

}  // namespace

const std::vector<MoveChain>& all_move_chains() {
    // Built by the first caller; other threads arriving meanwhile wait for it.
    static const std::vector<MoveChain> ALL_MOVE_CHAINS = [] {
        std::vector<MoveChain> chains;
        chains.reserve(CHAIN_NB);
        for (const ChainSpec& c : CHAIN_TABLE)
            chains.emplace_back(c.actions.begin(), c.actions.begin() + c.size);
        return chains;
    }();
    return ALL_MOVE_CHAINS;
}

std::vector<MoveChain> get_all_move_chains() { return all_move_chains(); }

const ChainTree& move_chain_tree() { return TREE; }

Result<double> score(const GameState& input, const Candidate& candidate) {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double lines = lines_cleared(input, candidate);
    const double height = candidate.metrics.height;
    return {lines * LINES_WEIGHT + height * HEIGHT_WEIGHT, ok()};
}

Result<MoveChain> RandomChoiceBot::choose_move(const GameState& state) {
    return choose_move_with(state, random::thread_rng());
}

Result<MoveChain> RandomChoiceBot::choose_move_with(const GameState& state,
                                                    random::WordSource& rng) {
    return {get_best_move_for_score_fn(state, score, rng), ok()};
}

}  // namespace game::bot::random_choice_bot
