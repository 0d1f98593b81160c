// Piece kinds, rotation states, the quarter turn and the shape table.
#include <doctest/doctest.h>

#include <string>
#include <string_view>

#include "rot.hpp"
#include "tet/piece.hpp"

using game::rot::RotState;
using game::rot::rotate_shape;
using game::rot::ShapeGrid;
using game::tet::Tet;

namespace {

constexpr Tet ALL_TETS[] = {Tet::I, Tet::L, Tet::J, Tet::T, Tet::S, Tet::Z, Tet::O};
constexpr RotState ALL_ROTS[] = {RotState::R0, RotState::R1, RotState::R2, RotState::R3};

// Parses "000/111/001": rows from row 0 (bottom) upward, cells from column 0 rightward.
ShapeGrid parse_grid(std::string_view text) {
    ShapeGrid grid(1);
    for (char c : text) {
        if (c == '/')
            grid.emplace_back();
        else
            grid.back().push_back(c == '1');
    }
    return grid;
}

std::string format_grid(const ShapeGrid& grid) {
    std::string out;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (i) out += '/';
        for (bool b : grid[i]) out += b ? '1' : '0';
    }
    return out;
}

// The table entry as a grid of its own size.
ShapeGrid table_grid(RotState rs, Tet t) {
    const game::tet::Shape& s = game::tet::shape(rs, t);
    ShapeGrid grid(static_cast<std::size_t>(s.size));
    for (int i = 0; i < s.size; ++i)
        for (int j = 0; j < s.size; ++j) grid[i].push_back(s.grid[i][j]);
    return grid;
}

// The whole table, [kind][rotation state], in the notation of parse_grid.
constexpr std::string_view EXPECTED[7][4] = {
    {"0000/0000/1111/0000", "0010/0010/0010/0010", "0000/1111/0000/0000", "0100/0100/0100/0100"},
    {"000/111/001", "011/010/010", "100/111/000", "010/010/110"},
    {"000/111/100", "010/010/011", "001/111/000", "110/010/010"},
    {"000/111/010", "010/011/010", "010/111/000", "010/110/010"},
    {"000/110/011", "001/011/010", "110/011/000", "010/110/100"},
    {"000/011/110", "010/011/001", "011/110/000", "100/110/010"},
    {"11/11", "11/11", "11/11", "11/11"},
};

}  // namespace

TEST_SUITE("rotate_shape") {
    TEST_CASE("clockwise turn of an L") {
        CHECK(format_grid(rotate_shape(parse_grid("000/111/001"), true)) == "011/010/010");
    }

    TEST_CASE("counter-clockwise turn of an L") {
        CHECK(format_grid(rotate_shape(parse_grid("000/111/001"), false)) == "010/010/110");
    }

    TEST_CASE("one turn each way gives the grid back") {
        for (std::string_view text : {"000/111/001", "0000/0000/1111/0000", "000/110/011",
                                      "1000", "10/01/11", "110/011"}) {
            CAPTURE(text);
            const ShapeGrid start = parse_grid(text);
            CHECK(rotate_shape(rotate_shape(start, true), false) == start);
            CHECK(rotate_shape(rotate_shape(start, false), true) == start);
        }
    }

    TEST_CASE("four turns in one direction give the grid back") {
        for (std::string_view text : {"000/111/001", "0000/0000/1111/0000", "1000", "10/01/11"}) {
            for (bool clockwise : {true, false}) {
                CAPTURE(text);
                CAPTURE(clockwise);
                const ShapeGrid start = parse_grid(text);
                ShapeGrid g = start;
                for (int k = 0; k < 4; ++k) {
                    g = rotate_shape(g, clockwise);
                    if (k < 3) CHECK(g != start);
                }
                CHECK(g == start);
            }
        }
    }

    TEST_CASE("a row of four turns into four rows of one") {
        const ShapeGrid row = parse_grid("1000");
        const ShapeGrid cw = rotate_shape(row, true);
        CHECK(cw.size() == 4);
        for (const auto& r : cw) CHECK(r.size() == 1);
        // Clockwise: the input's last column becomes row 0, so the filled cell ends on top.
        CHECK(format_grid(cw) == "0/0/0/1");
        CHECK(format_grid(rotate_shape(row, false)) == "1/0/0/0");
    }

    TEST_CASE("a non-square grid swaps its dimensions") {
        const ShapeGrid g = parse_grid("100/111");
        const ShapeGrid cw = rotate_shape(g, true);
        REQUIRE(cw.size() == 3);
        CHECK(cw[0].size() == 2);
        CHECK(format_grid(cw) == "01/01/11");
        CHECK(format_grid(rotate_shape(g, false)) == "11/10/10");
    }
}

TEST_SUITE("shape table") {
    TEST_CASE("every grid matches the table") {
        for (Tet t : ALL_TETS)
            for (RotState rs : ALL_ROTS) {
                CAPTURE(game::tet::letter(t));
                CAPTURE(game::rot::name(rs));
                CHECK(format_grid(table_grid(rs, t)) ==
                      EXPECTED[game::tet::index(t)][game::rot::index(rs)]);
            }
    }

    TEST_CASE("the table is each base grid turned clockwise once per state") {
        for (Tet t : ALL_TETS) {
            ShapeGrid g = parse_grid(EXPECTED[game::tet::index(t)][0]);
            for (RotState rs : ALL_ROTS) {
                CAPTURE(game::tet::letter(t));
                CAPTURE(game::rot::name(rs));
                CHECK(table_grid(rs, t) == g);
                g = rotate_shape(g, true);
            }
        }
    }

    TEST_CASE("every grid has four cells, listed in visiting order") {
        for (Tet t : ALL_TETS)
            for (RotState rs : ALL_ROTS) {
                CAPTURE(game::tet::letter(t));
                CAPTURE(game::rot::name(rs));
                const game::tet::Shape& s = game::tet::shape(rs, t);
                int filled = 0;
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        if (!s.grid[i][j]) continue;
                        CHECK(i < s.size);
                        CHECK(j < s.size);
                        REQUIRE(filled < 4);
                        CHECK(s.cells[filled].i == i);
                        CHECK(s.cells[filled].j == j);
                        ++filled;
                    }
                CHECK(filled == 4);
            }
    }

    TEST_CASE("bounding boxes keep the kind's size in every state") {
        constexpr int SIZES[7] = {4, 3, 3, 3, 3, 3, 2};
        for (Tet t : ALL_TETS)
            for (RotState rs : ALL_ROTS)
                CHECK(game::tet::shape(rs, t).size == SIZES[game::tet::index(t)]);
    }

    TEST_CASE("O is the same in every state") {
        const ShapeGrid r0 = table_grid(RotState::R0, Tet::O);
        for (RotState rs : ALL_ROTS) CHECK(table_grid(rs, Tet::O) == r0);
    }

    TEST_CASE("opposite I states differ") {
        CHECK(table_grid(RotState::R0, Tet::I) != table_grid(RotState::R2, Tet::I));
        CHECK(table_grid(RotState::R1, Tet::I) != table_grid(RotState::R3, Tet::I));
    }
}

TEST_SUITE("names") {
    TEST_CASE("kind letters in index order") {
        std::string letters;
        for (int i = 0; i < game::tet::TET_NB; ++i)
            letters += game::tet::letter(game::tet::tet_from_index(i));
        CHECK(letters == "ILJTSZO");
        for (int i = 0; i < game::tet::TET_NB; ++i)
            CHECK(game::tet::index(game::tet::tet_from_index(i)) == i);
    }

    TEST_CASE("rotation state names in index order") {
        std::string names;
        for (int i = 0; i < game::rot::ROT_NB; ++i)
            names += game::rot::name(game::rot::rot_from_index(i));
        CHECK(names == "R0R1R2R3");
    }

    TEST_CASE("turns step through the states") {
        CHECK(game::rot::turned_right(RotState::R0) == RotState::R1);
        CHECK(game::rot::turned_right(RotState::R3) == RotState::R0);
        CHECK(game::rot::turned_left(RotState::R0) == RotState::R3);
        CHECK(game::rot::turned_left(RotState::R1) == RotState::R0);
        for (RotState rs : ALL_ROTS) {
            CHECK(game::rot::turned_left(game::rot::turned_right(rs)) == rs);
            RotState r = rs;
            for (int k = 0; k < 4; ++k) r = game::rot::turned_right(r);
            CHECK(r == rs);
        }
    }
}
