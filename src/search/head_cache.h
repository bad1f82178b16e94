// The heads kept between runs (--keep-heads): which listed message the local store can answer, its TOP reply
// from there cut to the lines asked, and the TOP replies fetched kept there, all in the store of
// $XDG_CACHE_HOME/maildig.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cache/head_store.h"
#include "pop3/pop3_send.h"

namespace maildig {

class TUidList;

class THeadCache {
  public:
    // The store for the mailbox of user at server:port, for TOP with `lines` body lines. Null when it cannot
    // be used in this run; with verbose, a line says why, or that a damaged store was set aside.
    static std::unique_ptr<THeadCache> Open(const std::string& folder, std::string_view server, int port,
                                            std::string_view user, int32_t lines, bool verbose);

    // Before the listing: whether message n is likely answered from the store (it was listed as message n
    // last time and its head is kept), so that no TOP for it needs to go out ahead of the listing. n is then
    // remembered as not sent ahead.
    bool Expects(int32_t n);
    // Reads the LIST reply (sent ahead or now) into the sizes of the listed messages. Without them (LIST
    // refused, a line that is not "n size") the store is not used in this run.
    void ReadSizes(TPOP3Send& pop, const TUidList& listing);
    // Looks the listed messages up. With whole (the listing was read whole), entries of UIDs no longer listed
    // are dropped, and the start of the listing is noted for Expects of the next run.
    void Match(const TUidList& listing, bool whole);

    // Listed message i is answered from the store: a TOP for it was not sent ahead, and its entry has its
    // size and serves the line count.
    bool Has(std::size_t i) const;
    // The TOP reply of message i from the store, cut to the line count, into reply (whose line buffers are
    // reused). False when the store failed: it is not used any more in this run.
    bool Take(std::size_t i, TPOP3Reply& reply);
    // Keeps the TOP reply fetched for listed message i, when it was read whole.
    void Keep(std::size_t i, const TPOP3Reply& reply);
    // Removes the entry of a message deleted on the server.
    void Forget(std::string_view uid);
    // The verbose line: how many heads came from the store, and what failed.
    void Report() const;
    bool Usable() const { return store_ != nullptr && !store_->Failed() && matched_; }

  private:
    std::unique_ptr<THeadStore> store_;
    int32_t lines_ = 0;
    const TUidList* listing_ = nullptr;
    std::vector<uint32_t> sizes_; // per listed message; kUnknownSize when LIST did not say
    std::vector<int64_t> ids_;    // per listed message: the entry that answers it, or 0
    uint32_t sentAhead_ = 0;      // bit n - 1: TOP n went out ahead of the listing
    bool matched_ = false;
    std::size_t taken_ = 0, fetched_ = 0;
    std::string bytes_; // the entry being read or written
};

} // namespace maildig
