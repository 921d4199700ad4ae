#pragma once
// Exit status of gatewise-cli; documented for scripts in docs/cli.md.

inline constexpr int kExitOk = 0;               // a check ended with a filter verdict, not UNKNOWN
inline constexpr int kExitInternal = 1;         // unexpected failure (out of memory and the like)
inline constexpr int kExitUsage = 2;            // bad command line, unreadable --config file
inline constexpr int kExitUnknown = 3;          // the check ended with the filter verdict UNKNOWN
inline constexpr int kExitInvalidSettings = 4;  // a server address or port is zero
inline constexpr int kExitSockets = 5;          // the UDP sockets could not be opened
inline constexpr int kExitLogFile = 6;          // the --log file could not be written
// Ended by SIGINT or SIGTERM: 128 + the signal number (130, 143), as shells report it.
inline constexpr int kExitSignalBase = 128;
