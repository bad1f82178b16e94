// Socket error codes in the Windows Sockets numbering with their texts, and the mapping of this platform's
// errno and resolver error values onto those codes.
#pragma once

#include <cstdint>
#include <string>

// The codes the socket sets itself; every other code comes from a platform call through the mappings below.
constexpr int32_t WSAECONNABORTED = 10053; // StopFlag was set before a send or receive
constexpr int32_t WSAECONNRESET = 10054;   // the peer closed the connection
constexpr int32_t WSAENOBUFS = 10055;      // a line grew beyond MaxLineLength
constexpr int32_t WSAETIMEDOUT = 10060;    // no data (or no writability) within the time-out
constexpr int32_t WSASYSNOTREADY = 10091;  // the TLS plug-in failed
constexpr int32_t WSAEWOULDBLOCK = 10035;
constexpr int32_t WSAEINPROGRESS = 10036;
constexpr int32_t WSAECONNREFUSED = 10061;
constexpr int32_t WSAHOST_NOT_FOUND = 11001;

// The text of code: empty for 0, the table's text for the known codes, "Other Winsock error (N)" otherwise.
std::string ErrorText(int32_t code);

// The code for an errno value of a socket call (0 for 0); values without a counterpart are kept as they are.
int32_t SocketErrorFromErrno(int err);

// The code for a getaddrinfo result (0 for 0); EAI_SYSTEM is mapped through errno (sysErrno).
int32_t SocketErrorFromResolver(int gaiError, int sysErrno);
