#pragma once

#include "base/config.h"
#include "launch/enter_game.h"

#include <windows.h>

#include <cstdint>
#include <string>

class MainWindow;

// The status line after a launch by a build with the stand-in connection block that found another connection
// file (most likely the player's real one) and left it as it was.
inline constexpr wchar_t kConnectFileKeptText[] = L"测试版登录器未写入游戏连接配置，保留了现有的 Data\\Local\\Connect.msil。";

// The launch job (command 206): the checks and the saved settings on the window's thread, the authorisation
// exchange on the window's thread for it, and in its finish (a task its thread posts) the message or the game
// start. Main window thread only.
void EnterGame(MainWindow& window);
void OnLaunchFinished(MainWindow& window, const LaunchStep& step);

// The window side of a decided launch: the notice in a message box owned by `owner`, or the game configured
// under clientRoot started and `owner` minimised.
void FinishLaunch(HWND owner, const LaunchStep& step, const LauncherConfig& config, const std::wstring& clientRoot);

// Starts the game; a failure is shown in a message box owned by `owner`, a success minimises `owner`.
void StartGameFromWindow(HWND owner, const LauncherConfig& config, const std::wstring& clientRoot,
                         const LaunchTarget& target);

// A launch notice as the message box the player sees.
void ShowLaunchNotice(HWND owner, const LaunchNotice& notice);
