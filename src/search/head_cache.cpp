// The heads kept between runs: the TOP replies of the listed messages by UID and size, with the line counts
// each can answer.
#include "search/head_cache.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "bytes/ascii.h"
#include "search/mailbox.h"
#include "search/message_search.h"
#include "strutil/strutil.h"

namespace maildig {

namespace {

constexpr uint32_t kUnknownSize = UINT32_MAX;
// How many messages of the listing's start are noted for the next run's TOP commands sent ahead.
constexpr std::size_t kNotedMessages = 32;

// The bit of message n in the mask of the TOP commands sent ahead (messages 1 to 32), or 0.
uint32_t aheadBit(int32_t n) {
    return n >= 1 && n <= 32 ? 1u << (n - 1) : 0;
}

// Calls take(number, uid) for each "number uid" line of a mailbox note (the start of the last listing).
template <typename Take> void forEachNoted(std::string_view note, Take take) {
    for (std::size_t at = 0; at < note.size();) {
        const std::size_t end = std::min(note.find('\n', at), note.size());
        const std::string_view line = note.substr(at, end - at);
        at = end + 1;
        if (const std::size_t blank = line.find(' '); blank != std::string_view::npos)
            take(line.substr(0, blank), line.substr(blank + 1));
    }
}

// The index of the empty line that ends the header, or lines.size() when there is none.
std::size_t headerEnd(const Lines& lines) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), std::string()) - lines.begin());
}

} // namespace

std::unique_ptr<THeadCache> THeadCache::Open(const std::string& folder, std::string_view server, int port,
                                             std::string_view user, int32_t lines, bool verbose) {
    // A negative line count has the server refuse TOP; nothing to keep or answer.
    if (lines < 0) return nullptr;
    std::string note;
    auto cache = std::make_unique<THeadCache>();
    cache->store_ = THeadStore::Open(folder, note);
    cache->lines_ = lines;
    if (cache->store_ != nullptr && !cache->store_->SelectMailbox(LowerAscii(server), port, user))
        note = cache->store_->Failure();
    if (verbose && !note.empty()) writeLine(stderr, "Head cache: " + note);
    if (cache->store_ == nullptr || cache->store_->Failed()) return nullptr;
    return cache;
}

bool THeadCache::Expects(int32_t n) {
    const std::string number = std::to_string(n);
    bool expected = false;
    forEachNoted(store_->MailboxNote(), [&](std::string_view noted, std::string_view uid) {
        THeadEntry entry;
        expected = expected || (noted == number && store_->Find(uid, entry) && entry.LinesMin <= lines_ &&
                                lines_ <= entry.LinesMax);
    });
    if (!expected) sentAhead_ |= aheadBit(n);
    return expected;
}

void THeadCache::ReadSizes(TPOP3Send& pop, const TUidList& listing) {
    sizes_.assign(listing.Size(), kUnknownSize);
    std::size_t k = 0;
    bool bad = false;
    std::vector<std::string> fields;
    const TPOP3Reply reply = pop.ListSizes([&](const std::string& line) {
        str_delimit_TSL(line, " ", "", fields);
        if (k >= sizes_.size() || fields.size() != 2 || fields[0] != listing.NumberText(k) ||
            !str_is_integer(fields[1]) || fields[1].size() > 10) {
            bad = true;
            return;
        }
        const long long size = std::stoll(fields[1]);
        if (size >= 0 && size < kUnknownSize) sizes_[k] = static_cast<uint32_t>(size);
        ++k;
    });
    if (!reply.Ok() || bad || k != sizes_.size()) sizes_.clear();
}

void THeadCache::Match(const TUidList& listing, bool whole) {
    listing_ = &listing;
    if (store_->Failed() || sizes_.size() != listing.Size()) return;
    ids_.assign(listing.Size(), 0);
    std::vector<int64_t> listed; // the entries of listed UIDs, whatever they serve
    for (std::size_t i = 0; i < listing.Size(); ++i) {
        THeadEntry entry;
        if (!store_->Find(listing.Uid(i), entry)) continue;
        listed.push_back(entry.Id);
        if (entry.Size == sizes_[i] && sizes_[i] != kUnknownSize && entry.LinesMin <= lines_ &&
            lines_ <= entry.LinesMax)
            ids_[i] = entry.Id;
    }
    if (store_->Failed()) return;
    if (whole) {
        std::sort(listed.begin(), listed.end());
        listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
        if (store_->Count() != static_cast<int64_t>(listed.size())) store_->KeepOnly(listed);
        std::string note;
        for (std::size_t i = 0; i < listing.Size() && i < kNotedMessages; ++i)
            note.append(listing.NumberText(i)).append(" ").append(listing.Uid(i)).append("\n");
        if (note != store_->MailboxNote()) store_->SetMailboxNote(note);
    }
    matched_ = !store_->Failed();
}

bool THeadCache::Has(std::size_t i) const {
    if (!Usable() || ids_[i] == 0) return false;
    return (sentAhead_ & aheadBit(listing_->Numbers()[i])) == 0;
}

bool THeadCache::Take(std::size_t i, TPOP3Reply& reply) {
    if (!Usable() || !store_->Read(ids_[i], bytes_)) return false;
    // One line per line end; the lines after the header's end are cut to the line count.
    Lines& lines = reply.FullResult;
    std::size_t count = 0, bodyLines = 0;
    bool inBody = false;
    for (std::size_t at = 0; at < bytes_.size();) {
        const std::size_t end = std::min(bytes_.find('\n', at), bytes_.size());
        if (inBody && bodyLines++ >= static_cast<std::size_t>(lines_)) break;
        if (count == lines.size()) lines.emplace_back();
        lines[count++].assign(bytes_, at, end - at);
        inBody = inBody || end == at;
        at = end + 1;
    }
    lines.resize(count);
    reply.ResultCode = 1;
    reply.ResultString = "+OK";
    reply.ResultClipped = false;
    reply.CrLfLines = true;
    ++taken_;
    return true;
}

void THeadCache::Keep(std::size_t i, const TPOP3Reply& reply) {
    ++fetched_;
    if (!Usable() || sizes_[i] == kUnknownSize || !reply.Ok() || reply.ResultClipped) return;
    const Lines& lines = reply.FullResult;
    // Which line counts the reply answers: with every line ended in CR LF, the server's lines are these
    // lines, so a shorter count takes the first of them, and a body shorter than asked is the whole body.
    // Otherwise where the server's lines end is not known: only the count it was fetched with.
    const std::size_t header = headerEnd(lines);
    const std::size_t body = header < lines.size() ? lines.size() - header - 1 : 0;
    const std::size_t asked = static_cast<std::size_t>(lines_);
    int32_t linesMin = lines_, linesMax = lines_;
    if (reply.CrLfLines && body <= asked) {
        linesMin = 0;
        linesMax = body < asked ? INT32_MAX : lines_;
    }
    bytes_.clear();
    for (const std::string& line : lines)
        bytes_.append(line).push_back('\n');
    store_->Put(listing_->Uid(i), sizes_[i], linesMin, linesMax, bytes_);
}

void THeadCache::Forget(std::string_view uid) {
    store_->Forget(uid);
    // The messages after it in the noted listing move up one place, as in the server's next listing.
    std::string moved;
    bool after = false;
    forEachNoted(store_->MailboxNote(), [&](std::string_view number, std::string_view noted) {
        if (noted == uid)
            after = true;
        else
            moved.append(std::to_string(str_to_int(std::string(number)) - (after ? 1 : 0)))
                .append(" ")
                .append(noted)
                .append("\n");
    });
    if (after) store_->SetMailboxNote(moved);
}

void THeadCache::Report() const {
    std::string line = "Head cache " + store_->Path() + ": " + std::to_string(taken_) +
                       " heads taken from it, " + std::to_string(fetched_) + " fetched";
    if (store_->Failed())
        line += "; " + store_->Failure();
    else if (!matched_)
        line += "; not used, the server's LIST did not give every message's size";
    writeLine(stderr, line);
}

} // namespace maildig
