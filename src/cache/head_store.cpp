// The head store on SQLite: the file and its folder, the schema, reads, and writes in transactions.
#include "cache/head_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace maildig {

namespace {

constexpr int kApplicationId = 0x6d646867; // "mdhg"
constexpr int kSchemaVersion = 1;
constexpr int kBusyWaitMs = 2000; // how long a run waits for another that is writing
// A transaction is committed after this many entries, bytes or time.
constexpr std::size_t kPendingEntries = 256;
constexpr std::size_t kPendingBytes = 1 << 20;
constexpr auto kPendingTime = std::chrono::seconds(1);
// The dictionary is trained once this much was kept, from those heads.
constexpr std::size_t kSampleBytes = 512 * 1024;
constexpr std::size_t kDictionaryBytes = 64 * 1024;

const char* const kSchema = R"(
CREATE TABLE mailbox(id INTEGER PRIMARY KEY, server TEXT NOT NULL, port INTEGER NOT NULL, user TEXT NOT NULL,
                     note TEXT NOT NULL DEFAULT '', UNIQUE(server, port, user));
CREATE TABLE head(mailbox INTEGER NOT NULL, uid TEXT NOT NULL, size INTEGER NOT NULL, lines_min INTEGER NOT NULL,
                  lines_max INTEGER NOT NULL, body INTEGER NOT NULL, PRIMARY KEY(mailbox, uid)) WITHOUT ROWID;
CREATE TABLE body(id INTEGER PRIMARY KEY, dictionary INTEGER NOT NULL, raw_size INTEGER NOT NULL,
                  data BLOB NOT NULL);
CREATE TABLE dictionary(id INTEGER PRIMARY KEY, data BLOB NOT NULL);
)";

// Makes folder and the folders above it that are missing (0700, as the cache base folder is made), and
// narrows folder itself to 0700. False, with why, when it is not a folder of the user.
bool makeFolder(const std::string& folder, std::string& why) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) == 0) ::chmod(part.c_str(), 0700); // whatever the umask took away
        if (slash == std::string::npos) break;
    }
    struct stat st = {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        why = "the folder " + folder + " cannot be made or is not the user's";
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        why = "the folder " + folder + " cannot be made private";
        return false;
    }
    return true;
}

bool isDamage(int code) {
    const int primary = code & 0xff;
    return primary != SQLITE_BUSY && primary != SQLITE_LOCKED && primary != SQLITE_NOMEM &&
           primary != SQLITE_INTERRUPT && primary != SQLITE_FULL;
}

} // namespace

std::string THeadStore::DefaultFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/maildig";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') home = h;
    if (home.empty())
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir && pw->pw_dir[0] == '/')
            home = pw->pw_dir;
    return home.empty() ? std::string() : home + "/.cache/maildig";
}

std::unique_ptr<THeadStore> THeadStore::Open(const std::string& folder, std::string& note) {
    note.clear();
    if (folder.empty()) {
        note = "there is no home folder";
        return nullptr;
    }
    if (!makeFolder(folder, note)) return nullptr;
    std::unique_ptr<THeadStore> store(new THeadStore);
    store->folder_ = folder;
    store->path_ = folder + "/heads.sqlite";
    for (int attempt = 0;; ++attempt) {
        std::string why;
        const bool ok = store->Connect(why);
        if (!why.empty()) note = why; // the first attempt's, when the second makes a new file
        if (ok) return store;
        if (!store->setAside_ || attempt > 0) return nullptr;
        // Set aside: once more with a new file.
        store->failed_ = false;
        store->setAside_ = false;
    }
}

bool THeadStore::Connect(std::string& note) {
    // The file is made here, 0600 whatever the umask, so that SQLite (which makes its -wal and -shm files
    // with the mode of the database) never writes a byte into a file others may read.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st = {};
    bool usable = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    if (usable && (st.st_mode & 0777) != 0600) usable = ::fchmod(fd, 0600) == 0;
    if (fd >= 0) ::close(fd); // before SQLite opens it: closing a descriptor drops the process's locks
    if (!usable) {
        Fail(SQLITE_CANTOPEN);
        note = failure_;
        return false;
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
#ifdef SQLITE_OPEN_NOFOLLOW
    flags |= SQLITE_OPEN_NOFOLLOW;
#endif
    int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, kBusyWaitMs);
    }
    int version = 0, application = 0;
    auto number = [this](const char* sql, int& value) {
        sqlite3_stmt* s = nullptr;
        int code = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        if (code == SQLITE_OK) code = sqlite3_step(s);
        if (code == SQLITE_ROW) {
            value = sqlite3_column_int(s, 0);
            code = SQLITE_OK;
        }
        sqlite3_finalize(s);
        return code == SQLITE_DONE ? SQLITE_OK : code;
    };
    // Pages of 64 KB, the largest, hold a score of heads each (a head takes a few KB): what a page cannot fit
    // of the next head is left unused, a few percent of such a page against a tenth of a 16 KB one. Only a
    // new file takes it, before it is in WAL mode.
    int mode = 0;
    if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "PRAGMA page_size=65536", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = number("PRAGMA journal_mode=WAL", mode);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db_, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-1024", nullptr, nullptr,
                          nullptr);
    if (rc == SQLITE_OK) rc = number("PRAGMA user_version", version);
    if (rc == SQLITE_OK && version == 0) {
        // A new file: the schema, made by one run while any other waits.
        rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) rc = number("PRAGMA user_version", version);
        if (rc == SQLITE_OK && version == 0) {
            const std::string sql = std::string(kSchema) +
                                    "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                    "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
            rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
            version = kSchemaVersion;
        }
        rc = rc == SQLITE_OK ? sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr)
                             : (sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr), rc);
    }
    if (rc == SQLITE_OK) rc = number("PRAGMA application_id", application);
    if (rc == SQLITE_OK && (version != kSchemaVersion || application != kApplicationId))
        rc = SQLITE_NOTADB; // another program's file, or another version's: set aside like a damaged one
    if (rc == SQLITE_OK) {
        findMailbox_ = Prepare("SELECT id FROM mailbox WHERE server=?1 AND port=?2 AND user=?3");
        addMailbox_ = Prepare("INSERT OR IGNORE INTO mailbox(server, port, user) VALUES(?1, ?2, ?3)");
        getNote_ = Prepare("SELECT note FROM mailbox WHERE id=?1");
        setNote_ = Prepare("UPDATE mailbox SET note=?2 WHERE id=?1");
        find_ = Prepare("SELECT body, size, lines_min, lines_max FROM head WHERE mailbox=?1 AND uid=?2");
        read_ = Prepare("SELECT dictionary, raw_size, data FROM body WHERE id=?1");
        putBody_ = Prepare("INSERT INTO body(dictionary, raw_size, data) VALUES(?1, ?2, ?3)");
        putHead_ = Prepare("INSERT OR REPLACE INTO head(mailbox, uid, size, lines_min, lines_max, body) "
                           "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
        forgetBody_ =
            Prepare("DELETE FROM body WHERE id=(SELECT body FROM head WHERE mailbox=?1 AND uid=?2)");
        forgetHead_ = Prepare("DELETE FROM head WHERE mailbox=?1 AND uid=?2");
        count_ = Prepare("SELECT count(*) FROM head WHERE mailbox=?1");
        ids_ = Prepare("SELECT body, uid FROM head WHERE mailbox=?1");
        if (failed_) return note = failure_, false;
        return true;
    }
    Fail(rc);
    note = failure_;
    return false;
}

THeadStore::~THeadStore() {
    Commit();
    for (sqlite3_stmt* s : statements_)
        sqlite3_finalize(s);
    sqlite3_close_v2(db_);
}

void THeadStore::Fail(int code) {
    if (failed_) return;
    failed_ = true;
    failure_ = path_ + ": " + sqlite3_errstr(code);
    pending_.clear();
    if (!isDamage(code)) return;
    // Damaged, unreadable or not a store: closed and set aside with its log, so that the next open makes a
    // new one.
    for (sqlite3_stmt* s : statements_)
        sqlite3_finalize(s);
    statements_.clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    const std::string aside = path_ + ".damaged";
    if (::rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
        failure_ += " (and it cannot be set aside: " + std::string(std::strerror(errno)) + ")";
        return;
    }
    ::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    ::unlink((path_ + "-shm").c_str());
    failure_ += "; set aside as " + aside + " and made anew";
    setAside_ = true;
}

sqlite3_stmt* THeadStore::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (failed_) return nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        Fail(rc);
        return nullptr;
    }
    statements_.push_back(s);
    return s;
}

bool THeadStore::Exec(const char* sql) {
    if (failed_) return false;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
    return rc == SQLITE_OK;
}

bool THeadStore::Step(sqlite3_stmt* statement, bool& row) {
    row = false;
    if (failed_) return false;
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        row = true;
        return true;
    }
    sqlite3_reset(statement);
    if (rc == SQLITE_DONE) return true;
    Fail(rc);
    return false;
}

namespace {

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
    sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string_view columnText(sqlite3_stmt* s, int index) {
    const void* p = sqlite3_column_blob(s, index);
    return {static_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(s, index))};
}

} // namespace

bool THeadStore::SelectMailbox(std::string_view server, int port, std::string_view user) {
    if (failed_) return false;
    bool row = false;
    for (sqlite3_stmt* s : {addMailbox_, findMailbox_}) {
        bindText(s, 1, server);
        sqlite3_bind_int(s, 2, port);
        bindText(s, 3, user);
        if (!Step(s, row)) return false;
    }
    if (!row) return false;
    mailbox_ = sqlite3_column_int64(findMailbox_, 0);
    sqlite3_reset(findMailbox_);
    return true;
}

std::string THeadStore::MailboxNote() {
    bool row = false;
    if (failed_) return {};
    sqlite3_bind_int64(getNote_, 1, mailbox_);
    if (!Step(getNote_, row) || !row) return {};
    std::string note(columnText(getNote_, 0));
    sqlite3_reset(getNote_);
    return note;
}

void THeadStore::SetMailboxNote(std::string_view note) {
    bool row = false;
    if (failed_) return;
    sqlite3_bind_int64(setNote_, 1, mailbox_);
    bindText(setNote_, 2, note);
    Step(setNote_, row);
}

bool THeadStore::Find(std::string_view uid, THeadEntry& entry) {
    bool row = false;
    if (failed_) return false;
    sqlite3_bind_int64(find_, 1, mailbox_);
    bindText(find_, 2, uid);
    if (!Step(find_, row) || !row) return false;
    entry.Id = sqlite3_column_int64(find_, 0);
    entry.Size = sqlite3_column_int64(find_, 1);
    entry.LinesMin = sqlite3_column_int(find_, 2);
    entry.LinesMax = sqlite3_column_int(find_, 3);
    sqlite3_reset(find_);
    return true;
}

bool THeadStore::Read(int64_t id, std::string& bytes) {
    bool row = false;
    if (failed_) return false;
    sqlite3_bind_int64(read_, 1, id);
    if (!Step(read_, row)) return false;
    bool ok = row;
    if (row) {
        const int64_t dictionary = sqlite3_column_int64(read_, 0);
        const int64_t rawSize = sqlite3_column_int64(read_, 1);
        const std::string_view data = columnText(read_, 2);
        if (dictionary != 0 && dictionary != dictionary_) {
            // Made with another run's dictionary: that one is used from now on.
            sqlite3_stmt* s = nullptr;
            ok = sqlite3_prepare_v2(db_, "SELECT data FROM dictionary WHERE id=?1", -1, &s, nullptr) ==
                     SQLITE_OK &&
                 sqlite3_bind_int64(s, 1, dictionary) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW;
            if (ok) {
                codec_.SetDictionary(columnText(s, 0));
                dictionary_ = dictionary;
            }
            sqlite3_finalize(s);
        }
        ok = ok && rawSize >= 0 &&
             codec_.Decompress(data, static_cast<std::size_t>(rawSize), dictionary != 0, bytes);
        sqlite3_reset(read_);
    }
    if (!ok) Fail(SQLITE_CORRUPT); // an entry whose bytes are gone or do not decode
    return ok;
}

void THeadStore::Put(std::string_view uid, int64_t size, int32_t linesMin, int32_t linesMax,
                     std::string_view bytes) {
    if (failed_) return;
    if (pending_.empty()) pendingSince_ = std::chrono::steady_clock::now();
    pending_.push_back({std::string(uid), size, linesMin, linesMax, std::string(bytes)});
    pendingBytes_ += bytes.size();
    if (dictionary_ == 0 && sampleBytes_ < kSampleBytes) {
        samples_.emplace_back(bytes);
        sampleBytes_ += bytes.size();
    }
    if (pending_.size() >= kPendingEntries || pendingBytes_ >= kPendingBytes ||
        std::chrono::steady_clock::now() - pendingSince_ >= kPendingTime)
        Commit();
}

bool THeadStore::EnsureDictionary() {
    if (dictionary_ != 0) return true;
    sqlite3_stmt* s = nullptr;
    bool ok = sqlite3_prepare_v2(db_, "SELECT id, data FROM dictionary ORDER BY id DESC LIMIT 1", -1, &s,
                                 nullptr) == SQLITE_OK;
    if (ok && sqlite3_step(s) == SQLITE_ROW) {
        codec_.SetDictionary(columnText(s, 1));
        dictionary_ = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    if (dictionary_ != 0 || sampleBytes_ < kSampleBytes) return ok;
    // Enough heads seen: train on them (once per run at most).
    const std::string trained = THeadCodec::TrainDictionary(samples_, kDictionaryBytes);
    samples_.clear();
    samples_.shrink_to_fit();
    if (trained.empty()) return ok;
    ok = sqlite3_prepare_v2(db_, "INSERT INTO dictionary(data) VALUES(?1)", -1, &s, nullptr) == SQLITE_OK &&
         sqlite3_bind_blob(s, 1, trained.data(), static_cast<int>(trained.size()), SQLITE_STATIC) ==
             SQLITE_OK &&
         sqlite3_step(s) == SQLITE_DONE;
    sqlite3_finalize(s);
    if (ok) {
        codec_.SetDictionary(trained);
        dictionary_ = sqlite3_last_insert_rowid(db_);
    }
    return ok;
}

void THeadStore::Commit() {
    if (failed_ || pending_.empty()) return;
    const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if ((rc & 0xff) == SQLITE_BUSY) {
        // Another run is writing beyond the wait: these entries are left to a later run.
        pending_.clear();
        pendingBytes_ = 0;
        return;
    }
    if (rc != SQLITE_OK) return Fail(rc);
    WritePending();
    if (!failed_ && !Exec("COMMIT")) return;
    if (failed_ && db_ != nullptr) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    pending_.clear();
    pendingBytes_ = 0;
}

void THeadStore::WritePending() {
    if (!EnsureDictionary()) return Fail(SQLITE_CORRUPT);
    bool row = false;
    for (const TPending& p : pending_) {
        const std::string data = codec_.Compress(p.Bytes, dictionary_ != 0);
        if (data.empty()) continue;
        sqlite3_bind_int64(forgetBody_, 1, mailbox_);
        bindText(forgetBody_, 2, p.Uid);
        sqlite3_bind_int64(putBody_, 1, dictionary_);
        sqlite3_bind_int64(putBody_, 2, static_cast<int64_t>(p.Bytes.size()));
        sqlite3_bind_blob(putBody_, 3, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        if (!Step(forgetBody_, row) || !Step(putBody_, row)) return;
        sqlite3_bind_int64(putHead_, 1, mailbox_);
        bindText(putHead_, 2, p.Uid);
        sqlite3_bind_int64(putHead_, 3, p.Size);
        sqlite3_bind_int(putHead_, 4, p.LinesMin);
        sqlite3_bind_int(putHead_, 5, p.LinesMax);
        sqlite3_bind_int64(putHead_, 6, sqlite3_last_insert_rowid(db_));
        if (!Step(putHead_, row)) return;
    }
}

void THeadStore::Forget(std::string_view uid) {
    if (failed_) return;
    Commit();
    if (failed_ || !Exec("BEGIN IMMEDIATE") || !Remove(uid)) return;
    Exec("COMMIT");
}

bool THeadStore::Remove(std::string_view uid) {
    bool row = false;
    for (sqlite3_stmt* s : {forgetBody_, forgetHead_}) {
        sqlite3_bind_int64(s, 1, mailbox_);
        bindText(s, 2, uid);
        if (!Step(s, row)) return false;
    }
    return true;
}

int64_t THeadStore::Count() {
    bool row = false;
    if (failed_) return 0;
    sqlite3_bind_int64(count_, 1, mailbox_);
    if (!Step(count_, row) || !row) return 0;
    const int64_t n = sqlite3_column_int64(count_, 0);
    sqlite3_reset(count_);
    return n;
}

void THeadStore::KeepOnly(const std::vector<int64_t>& kept) {
    bool row = false;
    if (failed_) return;
    Commit();
    std::vector<std::string> gone;
    sqlite3_bind_int64(ids_, 1, mailbox_);
    while (Step(ids_, row) && row)
        if (!std::binary_search(kept.begin(), kept.end(), sqlite3_column_int64(ids_, 0)))
            gone.emplace_back(columnText(ids_, 1));
    if (failed_ || gone.empty() || !Exec("BEGIN IMMEDIATE")) return;
    for (const std::string& uid : gone)
        if (!Remove(uid)) return;
    Exec("COMMIT");
}

} // namespace maildig
