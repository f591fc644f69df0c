#pragma once

// Command 206: checks the state, keeps the connection file, asks the region for permission and starts the game.
void EnterGame();
