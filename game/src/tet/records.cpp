// The names of actions and game-over reasons.
#include "tet/records.hpp"

namespace game::tet {

const char* name(TetAction a) {
    static constexpr const char* NAMES[ACTION_NB] = {
        "HardDrop", "SoftDrop", "MoveLeft", "MoveRight",
        "Hold",     "RotateLeft", "RotateRight", "Nothing",
    };
    return NAMES[index(a) & 7];
}

const char* name(GameOverReason r) {
    static constexpr const char* NAMES[GAME_OVER_REASON_NB] = {"Knockout", "LockOut", "Forfeit",
                                                               "TimeUp"};
    return NAMES[static_cast<int>(r) & 3];
}

}  // namespace game::tet
