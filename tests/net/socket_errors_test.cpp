// The socket error table and the mapping of errno and resolver values onto it.
#include "net/socket_errors.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>
using namespace maildig;

TEST(ErrorText, KnownCodesHaveTheTableTextsAndOthersTheGenericOne) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, ""},
        {10004, "Interrupted system call"},
        {10041, "Protocol wrong type for Socket"},
        {10049, "Can't assign requested address"},
        {10053, "Software caused connection abort"},
        {10054, "Connection reset by peer"},
        {10055, "No Buffer space available"},
        {10059, "Too many references:can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network subsystem is unusable"},
        {10101, "Disconnect"},
        {11001, "Host not found"},
        {11002, "Non authoritative - host not found"},
        {11004, "Valid name, no data record of requested type"},
        {12345, "Other Winsock error (12345)"},
        {-1, "Other Winsock error (-1)"},
        {10072, "Other Winsock error (10072)"},
        {10109, "Other Winsock error (10109)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorText(c.code), c.text) << c.code;
}

TEST(SocketErrorFromErrno, MapsPlatformErrorsOntoTheTable) {
    const struct {
        int err;
        int32_t code;
    } cases[] = {
        {0, 0},
        {ECONNREFUSED, 10061},
        {ETIMEDOUT, 10060},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {EAFNOSUPPORT, 10047},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10036},
        {ENOTCONN, 10057},
        {EBADF, 10009},
        {EMFILE, 10024},
        {ENOBUFS, 10055},
        {9999, 9999}, // no counterpart: kept, and described as "Other Winsock error"
    };
    for (const auto& c : cases)
        EXPECT_EQ(SocketErrorFromErrno(c.err), c.code) << c.err;
}

TEST(SocketErrorFromResolver, MapsResolverFailuresOntoTheHostCodes) {
    const struct {
        int gai;
        int sysErrno;
        int32_t code;
    } cases[] = {
        {0, 0, 0},
        {EAI_NONAME, 0, 11001},
        {EAI_AGAIN, 0, 11002},
        {EAI_FAIL, 0, 11003},
        {EAI_NODATA, 0, 11004},
        {EAI_ADDRFAMILY, 0, 11001},
        {EAI_FAMILY, 0, 10047},
        {EAI_MEMORY, 0, 10055},
        {EAI_SYSTEM, ECONNREFUSED, 10061},
        {EAI_SYSTEM, 0, 11003},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SocketErrorFromResolver(c.gai, c.sysErrno), c.code) << c.gai;
}
