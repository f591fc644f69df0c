#pragma once

// Keeps the Windows socket library started for one scope. Every thread that talks to a service holds its own;
// Winsock counts the start-ups, so several may live at once.
class WinsockSession {
public:
    // Throws std::runtime_error("WSAStartup failed") when the library cannot start.
    WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession();
};
