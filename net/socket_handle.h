#pragma once
// A socket as the records carry it. POSIX file descriptor here; a Windows port changes this file.

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
