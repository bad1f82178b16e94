// Socket error codes in the Windows Sockets numbering with their texts, and the mapping of this platform's
// errno and resolver error values onto those codes.
#pragma once

#include <cstdint>
#include <string>

namespace maildig {

// Every code of the table, by its Windows Sockets name. The socket sets a few itself (noted); all others come
// from a platform call through the mappings below.
constexpr int32_t WSAEINTR = 10004;
constexpr int32_t WSAEBADF = 10009;
constexpr int32_t WSAEACCES = 10013;
constexpr int32_t WSAEFAULT = 10014;
constexpr int32_t WSAEINVAL = 10022; // a bad argument to a send or receive
constexpr int32_t WSAEMFILE = 10024;
constexpr int32_t WSAEWOULDBLOCK = 10035;
constexpr int32_t WSAEINPROGRESS = 10036;
constexpr int32_t WSAEALREADY = 10037;
constexpr int32_t WSAENOTSOCK = 10038;
constexpr int32_t WSAEDESTADDRREQ = 10039;
constexpr int32_t WSAEMSGSIZE = 10040;
constexpr int32_t WSAEPROTOTYPE = 10041;
constexpr int32_t WSAENOPROTOOPT = 10042;
constexpr int32_t WSAEPROTONOSUPPORT = 10043;
constexpr int32_t WSAESOCKTNOSUPPORT = 10044;
constexpr int32_t WSAEOPNOTSUPP = 10045;
constexpr int32_t WSAEPFNOSUPPORT = 10046;
constexpr int32_t WSAEAFNOSUPPORT = 10047;
constexpr int32_t WSAEADDRINUSE = 10048;
constexpr int32_t WSAEADDRNOTAVAIL = 10049;
constexpr int32_t WSAENETDOWN = 10050;
constexpr int32_t WSAENETUNREACH = 10051;
constexpr int32_t WSAENETRESET = 10052;
constexpr int32_t WSAECONNABORTED = 10053; // StopFlag was set before a send or receive
constexpr int32_t WSAECONNRESET = 10054;   // the peer closed the connection
constexpr int32_t WSAENOBUFS = 10055;      // a line grew beyond MaxLineLength
constexpr int32_t WSAEISCONN = 10056;
constexpr int32_t WSAENOTCONN = 10057; // no connection to send on or receive from
constexpr int32_t WSAESHUTDOWN = 10058;
constexpr int32_t WSAETOOMANYREFS = 10059;
constexpr int32_t WSAETIMEDOUT = 10060; // no data (or no writability) within the time-out
constexpr int32_t WSAECONNREFUSED = 10061;
constexpr int32_t WSAELOOP = 10062;
constexpr int32_t WSAENAMETOOLONG = 10063;
constexpr int32_t WSAEHOSTDOWN = 10064;
constexpr int32_t WSAEHOSTUNREACH = 10065;
constexpr int32_t WSAENOTEMPTY = 10066;
constexpr int32_t WSAEPROCLIM = 10067;
constexpr int32_t WSAEUSERS = 10068;
constexpr int32_t WSAEDQUOT = 10069;
constexpr int32_t WSAESTALE = 10070;
constexpr int32_t WSAEREMOTE = 10071;
constexpr int32_t WSASYSNOTREADY = 10091; // the TLS plug-in failed
constexpr int32_t WSAVERNOTSUPPORTED = 10092;
constexpr int32_t WSANOTINITIALISED = 10093;
constexpr int32_t WSAEDISCON = 10101;
constexpr int32_t WSATYPE_NOT_FOUND = 10109; // the service (port) name is not known
constexpr int32_t WSAHOST_NOT_FOUND = 11001;
constexpr int32_t WSATRY_AGAIN = 11002;
constexpr int32_t WSANO_RECOVERY = 11003;
constexpr int32_t WSANO_DATA = 11004;

// The text of code: empty for 0, the table's text for the known codes, "Other Winsock error (N)" otherwise.
std::string ErrorText(int32_t code);

// The code for an errno value of a socket call (0 for 0); values without a counterpart are kept as they are.
int32_t SocketErrorFromErrno(int err);

// The code for a getaddrinfo result (0 for 0); EAI_SYSTEM is mapped through errno (sysErrno).
int32_t SocketErrorFromResolver(int gaiError, int sysErrno);

} // namespace maildig
