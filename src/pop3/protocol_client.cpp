#include "pop3/protocol_client.h"

namespace maildig {

TProtocolClient::TProtocolClient()
    : TargetHost("127.0.0.1"), TargetPort("0"), IPInterface("0.0.0.0"), Timeout(5000) {}

TProtocolClient::~TProtocolClient() = default;

} // namespace maildig
