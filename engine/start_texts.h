#pragma once
// What the desktop application and the command-line client write to the log when the network
// side starts, and why a start or a check did not begin. Any thread (constants only).

// The log's first line.
inline constexpr const char* kStartBanner =
    "STUN - Simple Traversal of User Datagram Protocol (UDP)Through Network Address Translators "
    "(NATs) Test Program";
// Written once the network side runs, and again after every summary.
inline constexpr const char* kReadyPrompt = "Press F5 to start...";
// Written when the socket layer or the network module's sockets could not be had.
inline constexpr const char* kSocketsFailedText = "Init WinSock2.0 fail...I have to exit program";

// Why the network side or the last check did not start. The log says it too (the line above, or
// the settings loader's lines); this is for callers that act on it, such as an exit status.
enum class StartFailure {
    kNone,                // running, or the check began
    kSocketsFailed,       // the socket layer or a network module's sockets
    kInvalidSettings,     // a server address or port is zero (unresolved names load as zero)
    kSettingsUnreadable,  // the settings file is there but cannot be read
};
