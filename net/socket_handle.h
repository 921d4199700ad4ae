#pragma once
// A socket as the records carry it: a POSIX file descriptor, or on Windows a Winsock SOCKET held
// in an int. That is lossless: a SOCKET is a kernel handle, and 64-bit Windows keeps handles
// within 32 bits so they can be truncated and sign-extended back; INVALID_SOCKET becomes -1.

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
