// The local store of TOP replies: one SQLite file, each entry keyed by mailbox (server, port, user), UID and
// the message's size, holding the reply's bytes compressed and the range of TOP line counts they answer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cache/head_codec.h"

struct sqlite3;
struct sqlite3_stmt;

namespace maildig {

// What the store knows of one UID of the selected mailbox.
struct THeadEntry {
    int64_t Id = 0;       // the entry's bytes (Read)
    int64_t Size = 0;     // the message's size in octets when the entry was made
    int32_t LinesMin = 0; // the TOP line counts the entry answers
    int32_t LinesMax = 0;
};

class THeadStore {
  public:
    // The store's folder: $XDG_CACHE_HOME/maildig when that is an absolute path, else ~/.cache/maildig;
    // empty when there is no home folder either.
    static std::string DefaultFolder();

    // Opens folder/heads.sqlite, creating what is missing: folders 0700, the file 0600 whatever the umask,
    // before a byte is written (an existing folder or file of the user is narrowed to that). A file that is
    // not a store of this program, damaged or unreadable is set aside (heads.sqlite.damaged) and made anew,
    // and note says so. Null, with note saying why, when no store can be used in this run (another run holds
    // it beyond a short wait, a folder that cannot be made or is not the user's).
    static std::unique_ptr<THeadStore> Open(const std::string& folder, std::string& note);
    ~THeadStore(); // writes what is pending
    THeadStore(const THeadStore&) = delete;
    THeadStore& operator=(const THeadStore&) = delete;

    const std::string& Path() const { return path_; }

    // Selects (and makes) the mailbox the other calls are about.
    bool SelectMailbox(std::string_view server, int port, std::string_view user);
    // A short text kept with the mailbox (the start of its last listing), "" at first.
    std::string MailboxNote();
    void SetMailboxNote(std::string_view note);

    // The entry of uid; false when there is none (or the store failed).
    bool Find(std::string_view uid, THeadEntry& entry);
    // The bytes of entry id; false when they cannot be read (the store has failed then).
    bool Read(int64_t id, std::string& bytes);
    // Keeps bytes for uid, replacing its entry. Written in a transaction of many entries, committed at least
    // every second, when many bytes are pending and at the end: a killed run leaves whole entries only.
    void Put(std::string_view uid, int64_t size, int32_t linesMin, int32_t linesMax, std::string_view bytes);
    // Removes the entry of uid now.
    void Forget(std::string_view uid);
    // The number of entries of the mailbox, and dropping those whose ids are not in kept (sorted).
    int64_t Count();
    void KeepOnly(const std::vector<int64_t>& kept);
    // Writes the pending entries. When another run holds the store beyond the wait they are dropped.
    void Commit();

    // A statement failed: nothing more is read or written in this run, and Failure() says why (a damaged
    // file is set aside at once).
    bool Failed() const { return failed_; }
    const std::string& Failure() const { return failure_; }

  private:
    THeadStore() = default;
    bool Connect(std::string& note);
    bool Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    bool Step(sqlite3_stmt* statement, bool& row);
    void Fail(int code);
    bool EnsureDictionary();
    void WritePending();
    // Removes the entry of uid and its bytes, inside the caller's transaction; false when that failed.
    bool Remove(std::string_view uid);

    struct TPending {
        std::string Uid;
        int64_t Size;
        int32_t LinesMin, LinesMax;
        std::string Bytes;
    };

    std::string folder_, path_;
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> statements_;
    sqlite3_stmt *findMailbox_ = nullptr, *addMailbox_ = nullptr, *getNote_ = nullptr, *setNote_ = nullptr,
                 *find_ = nullptr, *read_ = nullptr, *putHead_ = nullptr, *putBody_ = nullptr,
                 *forgetHead_ = nullptr, *forgetBody_ = nullptr, *count_ = nullptr, *ids_ = nullptr;
    int64_t mailbox_ = 0;
    bool failed_ = false;
    bool setAside_ = false; // the file was set aside by the last failure
    std::string failure_;
    THeadCodec codec_;
    int64_t dictionary_ = 0; // the id of the dictionary in use, 0 before one was trained
    std::vector<std::string> samples_;
    std::size_t sampleBytes_ = 0;
    std::vector<TPending> pending_;
    std::size_t pendingBytes_ = 0;
    std::chrono::steady_clock::time_point pendingSince_;
};

} // namespace maildig
