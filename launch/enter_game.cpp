#include "launch/enter_game.h"

void EnterGame() {}
