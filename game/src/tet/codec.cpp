// The byte form of states, seeds and replay segments, and its decoders.
#include "tet/codec.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace game::tet {

namespace {

// Sizes of the parts of a state's byte form.
constexpr std::size_t FIXED_STATE_BYTES = 355;
constexpr std::size_t CURRENT_PCS_BYTES = 12;
constexpr std::size_t HOLD_PCS_BYTES = 5;
constexpr std::size_t REASON_BYTES = 4;
constexpr std::size_t SEED_BYTES = 40;
constexpr std::size_t SLICE_BYTES = 50;
constexpr std::size_t ENUM_BYTES = 4;

// The most segments a replay list reserves before elements arrive.
constexpr std::size_t MAX_INITIAL_SEGMENTS = 21845;

class Writer {
public:
    explicit Writer(std::uint8_t* out) : p_(out) {}

    void u8(std::uint8_t v) { *p_++ = v; }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void u16(std::uint16_t v) { le(v, 2); }
    void u32(std::uint32_t v) { le(v, 4); }
    void i32(std::int32_t v) { le(static_cast<std::uint32_t>(v), 4); }
    void i64(std::int64_t v) { le(static_cast<std::uint64_t>(v), 8); }
    void u64(std::uint64_t v) { le(v, 8); }
    void bytes(const std::uint8_t* src, std::size_t n) {
        std::memcpy(p_, src, n);
        p_ += n;
    }
    std::uint8_t* position() const { return p_; }

private:
    void le(std::uint64_t v, int n) {
        for (int k = 0; k < n; ++k) *p_++ = static_cast<std::uint8_t>(v >> (8 * k));
    }
    std::uint8_t* p_;
};

class Reader {
public:
    explicit Reader(ByteSpan in) : in_(in) {}

    const DecodeError& error() const { return err_; }
    bool ok() const { return err_.ok(); }

    bool take(std::size_t n, const std::uint8_t*& out) {
        if (!ok()) return false;
        if (in_.size() - pos_ < n) {
            err_ = {DecodeErrorKind::Io, 0, 0};
            return false;
        }
        out = in_.data() + pos_;
        pos_ += n;
        return true;
    }
    std::uint64_t le(int n) {
        const std::uint8_t* p = nullptr;
        if (!take(static_cast<std::size_t>(n), p)) return 0;
        std::uint64_t v = 0;
        for (int k = 0; k < n; ++k) v |= std::uint64_t(p[k]) << (8 * k);
        return v;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(le(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(le(4)); }
    std::uint64_t u64() { return le(8); }
    std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }

    bool boolean() {
        const std::uint8_t b = u8();
        if (ok() && b > 1) err_ = {DecodeErrorKind::InvalidBoolEncoding, b, 0};
        return b == 1;
    }
    // Option tag: true when a value follows.
    bool tag() {
        const std::uint8_t b = u8();
        if (ok() && b > 1) err_ = {DecodeErrorKind::InvalidTagEncoding, b, 0};
        return ok() && b == 1;
    }
    // Enumeration index below `count`.
    std::uint32_t variant(std::uint32_t count) {
        const std::uint32_t i = u32();
        if (ok() && i >= count) err_ = {DecodeErrorKind::Custom, i, count};
        return ok() ? i : 0;
    }
    template <std::size_t N>
    void bytes(std::array<std::uint8_t, N>& out) {
        const std::uint8_t* p = nullptr;
        if (take(N, p)) std::memcpy(out.data(), p, N);
    }

private:
    ByteSpan in_;
    std::size_t pos_ = 0;
    DecodeError err_{};
};

void write_seed(Writer& w, const GameSeed& s) {
    w.bytes(s.seed.data(), s.seed.size());
    w.i64(s.ts);
}

void write_slice(Writer& w, const GameReplaySlice& s) {
    w.i64(s.event_timestamp);
    w.bytes(s.new_seed.data(), s.new_seed.size());
    w.u16(s.new_garbage_recv);
    w.u16(s.new_garbage_applied);
    w.u16(s.idx);
    w.u32(static_cast<std::uint32_t>(index(s.event.action)));
}

void write_segment(Writer& w, const GameReplaySegment& seg) {
    w.u32(static_cast<std::uint32_t>(seg.index()));
    if (const auto* init = std::get_if<GameSeed>(&seg)) write_seed(w, *init);
    else if (const auto* slice = std::get_if<GameReplaySlice>(&seg)) write_slice(w, *slice);
    else w.u32(static_cast<std::uint32_t>(std::get<GameOverReason>(seg)));
}

Tet read_tet(Reader& r) { return tet_from_index(static_cast<int>(r.variant(TET_NB))); }

GameReplaySegment read_segment(Reader& r) {
    switch (r.variant(SEGMENT_NB)) {
        case 0: {
            GameSeed s;
            r.bytes(s.seed);
            s.ts = r.i64();
            return s;
        }
        case 1: {
            GameReplaySlice s;
            s.event_timestamp = r.i64();
            r.bytes(s.new_seed);
            s.new_garbage_recv = r.u16();
            s.new_garbage_applied = r.u16();
            s.idx = r.u16();
            s.event.action = action_from_index(static_cast<int>(r.variant(ACTION_NB)));
            return s;
        }
        default:
            return static_cast<GameOverReason>(r.variant(GAME_OVER_REASON_NB));
    }
}

}  // namespace

std::string DecodeError::display() const {
    char buf[128];
    switch (kind) {
        case DecodeErrorKind::Ok: return "ok";
        case DecodeErrorKind::Io: return "io error: unexpected end of file";
        case DecodeErrorKind::InvalidBoolEncoding:
            std::snprintf(buf, sizeof buf, "invalid u8 while decoding bool, expected 0 or 1, found %u",
                          value);
            return buf;
        case DecodeErrorKind::InvalidTagEncoding:
            std::snprintf(buf, sizeof buf, "tag for enum is not valid, found %u", value);
            return buf;
        case DecodeErrorKind::Custom:
            std::snprintf(buf, sizeof buf,
                          "invalid value: integer `%u`, expected variant index 0 <= i < %u", value,
                          limit);
            return buf;
    }
    return "unknown decode error";
}

std::size_t encoded_size(const GameReplaySegment& seg) {
    switch (seg.index()) {
        case 0: return ENUM_BYTES + SEED_BYTES;
        case 1: return ENUM_BYTES + SLICE_BYTES;
        default: return ENUM_BYTES + REASON_BYTES;
    }
}

std::size_t encoded_size(const GameState& s) {
    return FIXED_STATE_BYTES + 1 + (s.current_pcs ? CURRENT_PCS_BYTES : 0) + 1 +
           (s.hold_pcs ? HOLD_PCS_BYTES : 0) + 1 + (s.game_over_reason ? REASON_BYTES : 0) +
           encoded_size(s.last_segment);
}

void encode_game_state_into(const GameState& s, std::uint8_t* out) {
    Writer w(out);
    w.i32(s.score);
    w.boolean(s.is_t_spin);
    w.boolean(s.is_t_mini_spin);
    w.boolean(s.is_b2b);
    w.u8(static_cast<std::uint8_t>(s.combo_counter));
    for (const CellValueRow10& row : s.main_board.rows)
        for (const CellValuePairByte b : row.v_r) w.u8(b.v);
    w.u32(static_cast<std::uint32_t>(index(s.last_action)));
    w.boolean(s.current_pcs.has_value());
    if (s.current_pcs) {
        const CurrentPcsInfo& p = *s.current_pcs;
        w.u8(static_cast<std::uint8_t>(p.pos.y));
        w.u8(static_cast<std::uint8_t>(p.pos.x));
        w.u32(static_cast<std::uint32_t>(index(p.tet)));
        w.u32(static_cast<std::uint32_t>(rot::index(p.rs)));
        w.u16(p.id);
    }
    w.u16(s.current_id);
    w.boolean(s.hold_pcs.has_value());
    if (s.hold_pcs) {
        w.boolean(s.hold_pcs->can_use);
        w.u32(static_cast<std::uint32_t>(index(s.hold_pcs->tet)));
    }
    w.boolean(s.game_over_reason.has_value());
    if (s.game_over_reason) w.u32(static_cast<std::uint32_t>(*s.game_over_reason));
    w.bytes(s.seed.data(), s.seed.size());
    w.bytes(s.init_seed.data(), s.init_seed.size());
    w.i64(s.start_time);
    w.u16(s.total_lines);
    w.u16(s.total_garbage_sent);
    w.u16(s.garbage_recv);
    w.u16(s.garbage_applied);
    w.u16(s.total_moves);
    write_segment(w, s.last_segment);
    w.u16(s.last_segment_idx);
    for (const Tet t : s.next_pcs_bags) w.u32(static_cast<std::uint32_t>(index(t)));
    w.u8(s.next_pcs_idx);
}

std::vector<std::uint8_t> encode_game_state(const GameState& s) {
    std::vector<std::uint8_t> out(encoded_size(s));
    encode_game_state_into(s, out.data());
    return out;
}

Decoded<GameState> decode_game_state(ByteSpan bytes) {
    Reader r(bytes);
    Decoded<GameState> d;
    GameState& s = d.value;
    s.score = r.i32();
    s.is_t_spin = r.boolean();
    s.is_t_mini_spin = r.boolean();
    s.is_b2b = r.boolean();
    s.combo_counter = r.i8();
    for (CellValueRow10& row : s.main_board.rows)
        for (CellValuePairByte& b : row.v_r) b.v = r.u8();
    s.last_action = action_from_index(static_cast<int>(r.variant(ACTION_NB)));
    if (r.tag()) {
        CurrentPcsInfo p;
        p.pos.y = r.i8();
        p.pos.x = r.i8();
        p.tet = read_tet(r);
        p.rs = rot::rot_from_index(static_cast<int>(r.variant(rot::ROT_NB)));
        p.id = r.u16();
        s.current_pcs = p;
    }
    s.current_id = r.u16();
    if (r.tag()) {
        HoldPcsInfo h;
        h.can_use = r.boolean();
        h.tet = read_tet(r);
        s.hold_pcs = h;
    }
    if (r.tag()) s.game_over_reason = static_cast<GameOverReason>(r.variant(GAME_OVER_REASON_NB));
    r.bytes(s.seed);
    r.bytes(s.init_seed);
    s.start_time = r.i64();
    s.total_lines = r.u16();
    s.total_garbage_sent = r.u16();
    s.garbage_recv = r.u16();
    s.garbage_applied = r.u16();
    s.total_moves = r.u16();
    s.last_segment = read_segment(r);
    s.last_segment_idx = r.u16();
    for (Tet& t : s.next_pcs_bags) t = read_tet(r);
    s.next_pcs_idx = r.u8();
    d.error = r.error();
    if (!d.ok()) d.value = GameState{};
    return d;
}

std::vector<std::uint8_t> encode_replay_segments(std::span<const GameReplaySegment> segs) {
    std::size_t n = 8;
    for (const auto& s : segs) n += encoded_size(s);
    std::vector<std::uint8_t> out(n);
    Writer w(out.data());
    w.u64(segs.size());
    for (const auto& s : segs) write_segment(w, s);
    return out;
}

void encode_segment_into(const GameReplaySegment& seg, std::uint8_t* out) {
    Writer w(out);
    write_segment(w, seg);
}

Decoded<std::vector<GameReplaySegment>> decode_replay_segments(ByteSpan bytes) {
    Reader r(bytes);
    Decoded<std::vector<GameReplaySegment>> d;
    const std::uint64_t count = r.u64();
    if (r.ok()) {
        // The count is not trusted for memory: the list grows as segments actually arrive.
        d.value.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>({count, MAX_INITIAL_SEGMENTS, bytes.size() / 8})));
        for (std::uint64_t i = 0; i < count && r.ok(); ++i) {
            GameReplaySegment seg = read_segment(r);
            if (r.ok()) d.value.push_back(seg);
        }
    }
    d.error = r.error();
    if (!d.ok()) d.value.clear();
    return d;
}

std::array<std::uint8_t, 4> encode_replay_event(GameReplayEvent e) {
    const auto i = static_cast<std::uint32_t>(index(e.action));
    return {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
            static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 24)};
}

}  // namespace game::tet
