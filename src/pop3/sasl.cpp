#include "pop3/sasl.h"

#include <algorithm>

#include "bytes/ascii.h"
#include "mime/basic/transfer_encodings.h"

namespace maildig {

const char* SaslMechName(TSaslMech mech) {
    switch (mech) {
    case SM_Plain:
        return "PLAIN";
    case SM_XOAuth2:
        return "XOAUTH2";
    case SM_OAuthBearer:
        return "OAUTHBEARER";
    case SM_None:
        break;
    }
    return "";
}

bool SaslListed(const Lines& capabilities, TSaslMech mech) {
    const std::string_view name = SaslMechName(mech);
    if (name.empty()) return false;
    for (const std::string& line : capabilities) {
        if (!StartsWithNoCase(line, "SASL ")) continue;
        std::string_view rest = std::string_view(line).substr(5);
        while (!rest.empty()) {
            const std::size_t blank = rest.find(' ');
            if (EqualsAsciiNoCase(rest.substr(0, blank), name)) return true;
            rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
        }
    }
    return false;
}

std::string SaslInitialResponse(TSaslMech mech, std::string_view user, std::string_view secret,
                                std::string_view host, std::string_view port) {
    const std::string bearer = "auth=Bearer " + std::string(secret) + "\x01\x01";
    switch (mech) {
    case SM_Plain:
        return std::string(1, '\0') + std::string(user) + '\0' + std::string(secret);
    case SM_XOAuth2:
        return "user=" + std::string(user) + "\x01" + bearer;
    case SM_OAuthBearer: {
        // The GS2 header names the user as a saslname (RFC 5801): "," and "=" are written =2C and =3D.
        std::string header = "n,a=";
        for (const char c : user)
            header += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
        return header + ",\x01host=" + std::string(host) + "\x01port=" + std::string(port) + "\x01" + bearer;
    }
    case SM_None:
        break;
    }
    return {};
}

bool SaslContinuation(std::string_view status, std::string_view& challenge) {
    if (status != "+" && !status.starts_with("+ ")) return false;
    challenge = status.substr(std::min<std::size_t>(status.size(), 2));
    return true;
}

bool DecodeSaslChallenge(std::string_view challenge, std::string& text) {
    text.clear();
    const std::size_t n = challenge.size();
    if (n % 4 != 0) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = challenge[i];
        // Padding: the last character, or the last two.
        const bool pad = c == '=' && (i == n - 1 || (i == n - 2 && challenge[n - 1] == '='));
        if (!pad && (c == '=' || Base64Alphabet.find(c) == std::string_view::npos)) return false;
    }
    text = Base64Decode(challenge);
    return true;
}

} // namespace maildig
