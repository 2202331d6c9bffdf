// SQLite storage for the test server. Every statement is parameterised; every
// write is committed before the caller replies.
#include "testserver/store.h"

#include <ctime>

namespace {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~Statement() { sqlite3_finalize(statement_); }
  bool ok() const { return statement_ != nullptr; }
  Statement& Bind(int index, uint64_t value) {
    sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value));
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return statement_ != nullptr ? sqlite3_step(statement_) : SQLITE_ERROR; }
  uint64_t Int(int column) { return static_cast<uint64_t>(sqlite3_column_int64(statement_, column)); }
  bool IsNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

uint64_t Now() { return static_cast<uint64_t>(time(nullptr)); }

}  // namespace

Store::~Store() {
  if (db_ != nullptr) sqlite3_close(db_);
}

int Store::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

int Store::Open(const std::string& path) {
  int code = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
  if (code != SQLITE_OK) return code;
  sqlite3_busy_timeout(db_, 10000);
  const char* setup[] = {
      "PRAGMA journal_mode=WAL",
      "PRAGMA synchronous=FULL",
      "CREATE TABLE IF NOT EXISTS serials(value INTEGER PRIMARY KEY, station TEXT, time INTEGER)",
      "CREATE TABLE IF NOT EXISTS macs(value INTEGER PRIMARY KEY, device INTEGER, station TEXT, time INTEGER)",
      "CREATE TABLE IF NOT EXISTS results(id INTEGER PRIMARY KEY, device INTEGER, station TEXT, "
      "time INTEGER, kind TEXT, body TEXT)",
      "CREATE TABLE IF NOT EXISTS calpoints(id INTEGER PRIMARY KEY, device INTEGER, station TEXT, "
      "time INTEGER, point TEXT)",
      "CREATE INDEX IF NOT EXISTS results_device ON results(device)",
      "CREATE INDEX IF NOT EXISTS calpoints_device ON calpoints(device)",
  };
  for (const char* sql : setup) {
    code = Exec(sql);
    if (code != SQLITE_OK) return code;
  }
  return 0;
}

int Store::Allocate(const char* table, Range range, const std::string& station, uint64_t device,
                    uint64_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Exec("BEGIN IMMEDIATE") != SQLITE_OK) return kStatusStorage;
  std::string pick = std::string("SELECT MAX(value) FROM ") + table + " WHERE value BETWEEN ?1 AND ?2";
  Statement select(db_, pick.c_str());
  select.Bind(1, range.first).Bind(2, range.last);
  uint64_t next = range.first;
  if (select.Step() == SQLITE_ROW && !select.IsNull(0)) next = select.Int(0) + 1;
  if (next > range.last || next < range.first) {
    Exec("ROLLBACK");
    return kStatusExhausted;
  }
  int done;
  if (std::string(table) == "serials") {
    Statement insert(db_, "INSERT INTO serials(value, station, time) VALUES(?1, ?2, ?3)");
    done = insert.Bind(1, next).Bind(2, station).Bind(3, Now()).Step();
  } else {
    Statement insert(db_, "INSERT INTO macs(value, device, station, time) VALUES(?1, ?2, ?3, ?4)");
    insert.Bind(1, next);
    if (device != 0) insert.Bind(2, device);
    done = insert.Bind(3, station).Bind(4, Now()).Step();
  }
  if (done != SQLITE_DONE || Exec("COMMIT") != SQLITE_OK) {
    Exec("ROLLBACK");
    return kStatusStorage;
  }
  *value = next;
  return kStatusOk;
}

int Store::AllocateSerial(Range range, const std::string& station, uint64_t* value) {
  return Allocate("serials", range, station, 0, value);
}

int Store::AllocateMac(Range range, const std::string& station, uint64_t device, uint64_t* value) {
  return Allocate("macs", range, station, device, value);
}

int Store::AssignMacs(const std::vector<uint64_t>& macs, uint64_t device) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Exec("BEGIN IMMEDIATE") != SQLITE_OK) return kStatusStorage;
  for (uint64_t mac : macs) {
    Statement update(db_, "UPDATE macs SET device = ?1 WHERE value = ?2 AND device IS NULL");
    if (update.Bind(1, device).Bind(2, mac).Step() != SQLITE_DONE) {
      Exec("ROLLBACK");
      return kStatusStorage;
    }
  }
  return Exec("COMMIT") == SQLITE_OK ? kStatusOk : (Exec("ROLLBACK"), kStatusStorage);
}

int Store::StoreResults(const std::string& kind, uint64_t device, const std::string& station,
                        const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement insert(db_, "INSERT INTO results(device, station, time, kind, body) VALUES(?1, ?2, ?3, ?4, ?5)");
  int done = insert.Bind(1, device).Bind(2, station).Bind(3, Now()).Bind(4, kind).Bind(5, body).Step();
  return done == SQLITE_DONE ? kStatusOk : kStatusStorage;
}

int Store::StoreCalPoints(uint64_t device, const std::string& station,
                          const std::vector<std::string>& points) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Exec("BEGIN IMMEDIATE") != SQLITE_OK) return kStatusStorage;
  uint64_t now = Now();
  for (const std::string& point : points) {
    Statement insert(db_, "INSERT INTO calpoints(device, station, time, point) VALUES(?1, ?2, ?3, ?4)");
    if (insert.Bind(1, device).Bind(2, station).Bind(3, now).Bind(4, point).Step() != SQLITE_DONE) {
      Exec("ROLLBACK");
      return kStatusStorage;
    }
  }
  return Exec("COMMIT") == SQLITE_OK ? kStatusOk : (Exec("ROLLBACK"), kStatusStorage);
}

std::vector<uint64_t> Store::Devices() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> devices;
  Statement select(db_,
                   "SELECT value FROM serials UNION SELECT device FROM macs WHERE device IS NOT NULL "
                   "UNION SELECT device FROM results UNION SELECT device FROM calpoints ORDER BY 1");
  while (select.Step() == SQLITE_ROW) devices.push_back(select.Int(0));
  return devices;
}

std::vector<uint64_t> Store::AllSerials() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> serials;
  Statement select(db_, "SELECT value FROM serials ORDER BY value");
  while (select.Step() == SQLITE_ROW) serials.push_back(select.Int(0));
  return serials;
}

bool Store::Device(uint64_t id, DeviceInfo* info) {
  std::lock_guard<std::mutex> lock(mutex_);
  *info = DeviceInfo{};
  info->id = id;
  bool known = false;
  {
    Statement select(db_, "SELECT value FROM serials WHERE value = ?1");
    if (select.Bind(1, id).Step() == SQLITE_ROW) info->serial = id, known = true;
  }
  {
    Statement select(db_, "SELECT value FROM macs WHERE device = ?1 ORDER BY value");
    select.Bind(1, id);
    while (select.Step() == SQLITE_ROW) info->macs.push_back(select.Int(0)), known = true;
  }
  {
    Statement select(db_, "SELECT time, station, kind, body FROM results WHERE device = ?1 ORDER BY id");
    select.Bind(1, id);
    while (select.Step() == SQLITE_ROW) {
      info->results.push_back(std::to_string(select.Int(0)) + " " + select.Text(1) + " " + select.Text(2) +
                              " {" + select.Text(3) + "}");
      known = true;
    }
  }
  {
    Statement select(db_, "SELECT point FROM calpoints WHERE device = ?1 ORDER BY id");
    select.Bind(1, id);
    while (select.Step() == SQLITE_ROW) info->calPoints.push_back(select.Text(0)), known = true;
  }
  return known;
}
