// The common base of the protocol clients: where to connect, from which local address, how long to wait for
// reply data, and the login name and password.
#pragma once

#include <cstdint>
#include <string>

namespace maildig {

class TProtocolClient {
  public:
    TProtocolClient();
    virtual ~TProtocolClient();

    std::string TargetHost;  // server host name or address text, "127.0.0.1" by default
    std::string TargetPort;  // decimal port or service name, "0" by default
    std::string IPInterface; // local address to bind before connecting, "0.0.0.0" (any) by default
    int32_t Timeout;         // milliseconds for each wait for reply data, 5000 by default
    std::string UserName;
    std::string Password;
};

} // namespace maildig
