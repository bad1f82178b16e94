// The socket-free half of the SASL login (the AUTH command of RFC 5034): the mechanisms the client speaks,
// which of them a server's SASL capability lists, their first client messages and the server's challenges.
#pragma once

#include <string>
#include <string_view>

#include "mime/basic/lines.h"

namespace maildig {

enum TSaslMech {
    SM_None,
    SM_Plain,       // RFC 4616: the user and the password
    SM_XOAuth2,     // the user and an OAuth2 bearer token, as Google and Microsoft define it
    SM_OAuthBearer, // RFC 7628: the same with a GS2 header, the host and the port
};

// "PLAIN", "XOAUTH2", "OAUTHBEARER"; empty for SM_None.
const char* SaslMechName(TSaslMech mech);

// Whether a "SASL" line of capabilities names mech (ASCII case ignored; names are separated by blanks).
bool SaslListed(const Lines& capabilities, TSaslMech mech);

// The client's first message of mech, before base64: NUL user NUL secret (PLAIN); "user=" user ^A
// "auth=Bearer " secret ^A ^A (XOAUTH2); "n,a=" user (with "," and "=" escaped) "," ^A "host=" host ^A
// "port=" port ^A "auth=Bearer " secret ^A ^A (OAUTHBEARER). Empty for SM_None.
std::string SaslInitialResponse(TSaslMech mech, std::string_view user, std::string_view secret,
                                std::string_view host, std::string_view port);

// Whether status is a continuation line ("+" alone, or "+ " and a challenge); challenge is then what follows
// "+ " (empty for "+").
bool SaslContinuation(std::string_view status, std::string_view& challenge);

// Strict base64 (RFC 4648: groups of four alphabet characters, "=" padding only at the end, nothing else) to
// text; false, and text empty, for anything else.
bool DecodeSaslChallenge(std::string_view challenge, std::string& text);

} // namespace maildig
