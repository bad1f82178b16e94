// The mailbox session of one run: the POP3 client, the login with the TLS mode chosen by the port, the
// capability checks and the UIDL listing that the find, view and delete actions walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/basic/lines.h"
#include "pop3/pop3_send.h"
#include "search/head_cache.h"
#include "search/outcome.h"

namespace maildig {

// The UIDL listing: entry i comes from line i, its message number (as written and as str_to_int reads it)
// and its UID. The texts share one buffer, so that a listing of many messages takes little more than its
// bytes.
class TUidList {
  public:
    void Clear();
    // False, and nothing added, when the texts would outgrow what the list can index (4 GB).
    bool Add(std::string_view number, std::string_view uid);
    std::size_t Size() const { return numbers_.size(); }
    // What the list takes: its texts and 12 bytes of index per entry.
    std::size_t Bytes() const { return text_.size() + 12 * numbers_.size(); }
    // Lines of the listing left out because the list had reached MaxBytes.
    std::size_t Unkept = 0;
    // Bound of Bytes() (256 MB, some 7 million messages): a listing is kept whole up to it.
    std::size_t MaxBytes = 256u * 1024 * 1024;
    std::string_view NumberText(std::size_t i) const { return Text(2 * i); }
    std::string_view Uid(std::size_t i) const { return Text(2 * i + 1); }
    const std::vector<std::int32_t>& Numbers() const { return numbers_; }

  private:
    std::string_view Text(std::size_t k) const;
    std::string text_;
    std::vector<std::uint32_t> ends_; // where the number (2i) and the UID (2i + 1) of entry i end in text_
    std::vector<std::int32_t> numbers_;
};

// What the driver owns for a mailbox action: the one client of the run, the UIDL listing and, with
// --keep-heads, the heads kept between runs.
struct TMailbox {
    TPOP3Send Pop;
    TUidList Listing;
    std::unique_ptr<THeadCache> Heads;
};

// Where and as whom to log in.
struct TLogin {
    std::string Host;
    std::string User;
    std::string Pass;
    int Port = 110;
    // Verify the server's certificate (against VerifyCA, a PEM file, or the system's store when empty) and
    // that it names Host, which then goes out as the server name unless it is an address; on port 110 no
    // login command goes out before the STLS upgrade.
    bool Verify = false;
    std::string VerifyCA;
    // Pass is an OAuth2 access token, sent with SASL OAUTHBEARER or XOAUTH2 (never with USER/PASS or APOP).
    bool OAuth = false;
};

// What can be known of the verification settings before any connection: with Verify, TLS must be available
// and VerifyCA readable with a certificate in it. Fails with 9 and the reason on a line of its own.
TOutcome checkVerifySettings(const TLogin& login);

// Connects and logs in, then checks that the server lists UIDL and TOP. Fails with 10, 11 or 15; with
// Verify, a server that fails the certificate check or cannot be spoken to over TLS fails with 9 and the
// reason on a line of its own, before any login command went out. When the capabilities before the login
// list PIPELINING, CAPA and UIDL go out together after the login (and LIST with Heads), followed by
// "TOP n topLines" for n = 1 to prefetch but those Heads expects to answer: a fresh session numbers its
// messages from 1, so the first heads of a walk can be on their way before the listing has arrived (the walk
// takes only those the listing confirms). With verbose, a SASL login adds a line: its mechanism, the server's
// reason for refusing it, or that the server listed no mechanism for the token.
TOutcome openMailbox(TMailbox& box, const TLogin& login, bool verbose, std::size_t prefetch = 0,
                     int topLines = 0);

// Reads the UIDL listing into Listing, each line as it arrives, up to Listing.MaxBytes; the lines beyond
// are counted in Listing.Unkept, but for one whose UID is keepUid (for view and delete). Fails with 12 when
// UIDL fails (or its listing takes more than a GB on the wire), with 20 on a line that does not hold
// exactly two fields or whose UID is not valid (the line is quoted with its control characters escaped).
// With Heads, then reads the sizes from LIST and looks the messages up in the store.
TOutcome getMessageList(TMailbox& box, bool verbose, std::string_view keepUid = {});

// A UID as POP3 defines it: 1 to 70 characters in the range 0x21-0x7E.
bool isValidUid(std::string_view uid);

} // namespace maildig
