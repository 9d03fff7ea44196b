#include "tavlo/ledger/ledger_schema.h"

#include <algorithm>
#include <cstdlib>

#include "database/pg_connection.h"

namespace {

// Index i holds the step from version i to version i + 1.
const char* const kSteps[] = {
    // 1: numbers by kind (the primary key makes a number one station's),
    // the cursors of the pools, and indexes for what a station asks often.
    "CREATE TABLE tavlo_number ("
    "  kind text NOT NULL CHECK (kind IN ('imei', 'mbsn', 'psn')),"
    "  number text COLLATE \"C\" NOT NULL,"
    "  state text NOT NULL CHECK (state IN ('claimed', 'reserved', 'written')),"
    "  station text NOT NULL,"
    "  com_port integer,"
    "  stamp text NOT NULL,"
    "  changed timestamptz NOT NULL DEFAULT now(),"
    "  PRIMARY KEY (kind, number));"
    "CREATE INDEX tavlo_number_open ON tavlo_number (station, kind) WHERE state <> 'written';"
    "CREATE INDEX tavlo_number_open_since ON tavlo_number (changed) WHERE state <> 'written';"
    "CREATE TABLE tavlo_cursor ("
    "  kind text NOT NULL,"
    "  source text NOT NULL,"
    "  position text NOT NULL,"
    "  PRIMARY KEY (kind, source));",
    // 2: a drawn number keeps where its source has it, so that a release
    // can offer it again (tavlo_free, looked at before the cursor); records
    // that met another station's number are kept in tavlo_conflict; a
    // written row is never changed or deleted; and what a station changes
    // goes through functions that act only for a station name the calling
    // session holds (its advisory lock), so that a station's role needs no
    // right to change tavlo_number itself.
    "ALTER TABLE tavlo_number ADD COLUMN source text, ADD COLUMN position text;"
    // The last version's releases left their numbers behind the cursors for
    // good: every cursor starts over once, and that walk finds them among
    // the used numbers (a range a stretch at a time).
    "DELETE FROM tavlo_cursor;"
    "CREATE TABLE tavlo_free ("
    "  kind text NOT NULL,"
    "  source text NOT NULL,"
    "  position text NOT NULL,"
    "  number text COLLATE \"C\" NOT NULL,"
    "  freed timestamptz NOT NULL DEFAULT now(),"
    "  PRIMARY KEY (kind, source, position));"
    "CREATE TABLE tavlo_conflict ("
    "  kind text NOT NULL,"
    "  number text COLLATE \"C\" NOT NULL,"
    "  station text NOT NULL,"
    "  holder text NOT NULL,"
    "  holder_state text NOT NULL,"
    "  stamp text NOT NULL,"
    "  noted timestamptz NOT NULL DEFAULT now(),"
    "  PRIMARY KEY (kind, number, station));"
    "CREATE FUNCTION tavlo_keep_written() RETURNS trigger LANGUAGE plpgsql AS $$"
    "BEGIN"
    "  RAISE EXCEPTION '% % is written: it is never changed or deleted', OLD.kind, OLD.number;"
    "END$$;"
    "CREATE TRIGGER tavlo_number_written BEFORE UPDATE OR DELETE ON tavlo_number"
    "  FOR EACH ROW WHEN (OLD.state = 'written') EXECUTE FUNCTION tavlo_keep_written();"
    // The lock a station takes on its name at start (pg_try_advisory_lock
    // with the keys 7340717 and hashtext(name)), as pg_locks shows it; a
    // session that lost it (a connection made again) takes it again here,
    // unless another session holds it meanwhile.
    "CREATE FUNCTION tavlo_check_station(p_station text) RETURNS void LANGUAGE plpgsql "
    "SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  IF NOT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted"
    "      AND pid = pg_backend_pid()"
    "      AND database = (SELECT oid FROM pg_database WHERE datname = current_database())"
    "      AND classid = 7340717::oid AND objsubid = 2"
    "      AND objid = (hashtext(p_station)::bigint & 4294967295)::oid)"
    "    AND NOT pg_try_advisory_lock(7340717, hashtext(p_station)) THEN"
    "    RAISE EXCEPTION 'another station named \"%\" is on the ledger now', p_station;"
    "  END IF;"
    "END$$;"
    "CREATE FUNCTION tavlo_claim(p_kind text, p_number text, p_station text, p_stamp text,"
    "    p_source text, p_position text) RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER "
    "SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  PERFORM tavlo_check_station(p_station);"
    // Claimed now, or taken another way meanwhile: free no more either way.
    "  DELETE FROM tavlo_free WHERE kind = p_kind AND source = p_source"
    "    AND position = p_position;"
    "  INSERT INTO tavlo_number(kind, number, state, station, stamp, source, position)"
    "    VALUES (p_kind, p_number, 'claimed', p_station, p_stamp, p_source, p_position)"
    "    ON CONFLICT DO NOTHING;"
    "  RETURN FOUND;"
    "END$$;"
    // A number this station claimed, or one nobody holds; never one that
    // is written or another station's.
    "CREATE FUNCTION tavlo_reserve(p_kind text, p_number text, p_station text, p_stamp text)"
    "    RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  PERFORM tavlo_check_station(p_station);"
    "  INSERT INTO tavlo_number(kind, number, state, station, stamp)"
    "    VALUES (p_kind, p_number, 'reserved', p_station, p_stamp)"
    "    ON CONFLICT (kind, number) DO UPDATE"
    "    SET state = 'reserved', stamp = excluded.stamp, changed = now()"
    "    WHERE tavlo_number.station = excluded.station AND tavlo_number.state <> 'written';"
    "  RETURN FOUND;"
    "END$$;"
    // A rework: as tavlo_reserve, and a number already written, by any
    // station, is accepted as it stands (it stays written, so no release
    // frees it); one another station claimed or reserved is still refused.
    "CREATE FUNCTION tavlo_reserve_rework(p_kind text, p_number text, p_station text,"
    "    p_stamp text) RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER "
    "SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  IF tavlo_reserve(p_kind, p_number, p_station, p_stamp) THEN RETURN true; END IF;"
    "  RETURN EXISTS (SELECT 1 FROM tavlo_number WHERE kind = p_kind AND number = p_number"
    "    AND state = 'written');"
    "END$$;"
    // Who holds a number, for the message that refuses a typed one: a
    // station's role reads no station names otherwise.
    "CREATE FUNCTION tavlo_holder(p_kind text, p_number text)"
    "    RETURNS TABLE (holder_state text, holder text, holder_stamp text)"
    "    LANGUAGE sql SECURITY DEFINER "
    "SET search_path FROM CURRENT AS $$"
    "  SELECT state, station, stamp FROM tavlo_number WHERE kind = p_kind AND number = p_number"
    "$$;"
    // Idempotent, so that a spool replayed twice records once. A number
    // another station holds or wrote is a conflict, kept where neither
    // station's release can free it. Returns who the number is booked to.
    "CREATE FUNCTION tavlo_record(p_kind text, p_number text, p_station text, p_port integer,"
    "    p_stamp text, OUT booked_to text, OUT booked_state text) LANGUAGE plpgsql "
    "SECURITY DEFINER SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  PERFORM tavlo_check_station(p_station);"
    "  INSERT INTO tavlo_number(kind, number, state, station, com_port, stamp)"
    "    VALUES (p_kind, p_number, 'written', p_station, p_port, p_stamp)"
    "    ON CONFLICT (kind, number) DO UPDATE"
    "    SET state = 'written', com_port = excluded.com_port, stamp = excluded.stamp,"
    "      changed = now()"
    "    WHERE tavlo_number.station = excluded.station AND tavlo_number.state <> 'written';"
    "  SELECT station, state INTO booked_to, booked_state FROM tavlo_number"
    "    WHERE kind = p_kind AND number = p_number;"
    "  IF booked_to <> p_station THEN"
    "    INSERT INTO tavlo_conflict(kind, number, station, holder, holder_state, stamp)"
    "      VALUES (p_kind, p_number, p_station, booked_to, booked_state, p_stamp)"
    "      ON CONFLICT DO NOTHING;"
    "  END IF;"
    "END$$;"
    // Unwritten numbers of a station that never left for a phone go back
    // to their source's free positions; a number in conflict stays.
    "CREATE FUNCTION tavlo_free_numbers(p_kind text, p_station text, p_claimed_only boolean)"
    "    RETURNS void LANGUAGE sql SET search_path FROM CURRENT AS $$"
    "  WITH gone AS ("
    "    DELETE FROM tavlo_number n WHERE n.station = p_station"
    "      AND (p_kind IS NULL OR n.kind = p_kind)"
    "      AND (n.state = 'claimed' OR (n.state = 'reserved' AND NOT p_claimed_only))"
    "      AND NOT EXISTS (SELECT 1 FROM tavlo_conflict c"
    "        WHERE c.kind = n.kind AND c.number = n.number)"
    "    RETURNING n.kind, n.number, n.source, n.position)"
    "  INSERT INTO tavlo_free(kind, source, position, number)"
    "    SELECT kind, source, position, number FROM gone WHERE source IS NOT NULL"
    "    ON CONFLICT DO NOTHING"
    "$$;"
    "CREATE FUNCTION tavlo_release(p_kind text, p_station text) RETURNS void LANGUAGE plpgsql "
    "SECURITY DEFINER SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  PERFORM tavlo_check_station(p_station);"
    "  PERFORM tavlo_free_numbers(p_kind, p_station, false);"
    "END$$;"
    // At a station's start: what its last run only drew is free again,
    // what it reserved may be in a phone and counts as written.
    "CREATE FUNCTION tavlo_resolve(p_station text) RETURNS void LANGUAGE plpgsql "
    "SECURITY DEFINER SET search_path FROM CURRENT AS $$"
    "BEGIN"
    "  PERFORM tavlo_check_station(p_station);"
    "  PERFORM tavlo_free_numbers(NULL, p_station, true);"
    "  UPDATE tavlo_number SET state = 'written', changed = now()"
    "    WHERE station = p_station AND state = 'reserved';"
    "END$$;"
    // What a station's role may do: read the numbers (not who wrote them
    // or when) and the free positions, move the cursors, and call the
    // functions above. Import, export and schema changes stay the owner's.
    "CREATE FUNCTION tavlo_grant_station(p_role text) RETURNS void LANGUAGE plpgsql AS $$"
    "BEGIN"
    "  EXECUTE format('GRANT SELECT ON tavlo_schema TO %I', p_role);"
    "  EXECUTE format('GRANT SELECT (kind, number) ON tavlo_number TO %I', p_role);"
    "  EXECUTE format('GRANT SELECT, INSERT, UPDATE ON tavlo_cursor TO %I', p_role);"
    "  EXECUTE format('GRANT SELECT ON tavlo_free TO %I', p_role);"
    "  EXECUTE format('GRANT EXECUTE ON FUNCTION tavlo_claim(text, text, text, text, text, text),"
    "    tavlo_reserve(text, text, text, text), tavlo_reserve_rework(text, text, text, text),"
    "    tavlo_holder(text, text), tavlo_record(text, text, text, integer, text),"
    "    tavlo_release(text, text), tavlo_resolve(text) TO %I', p_role);"
    "END$$;"
    "REVOKE ALL ON FUNCTION tavlo_check_station(text), tavlo_free_numbers(text, text, boolean),"
    "  tavlo_claim(text, text, text, text, text, text), tavlo_reserve(text, text, text, text),"
    "  tavlo_reserve_rework(text, text, text, text), tavlo_holder(text, text),"
    "  tavlo_record(text, text, text, integer, text), tavlo_release(text, text),"
    "  tavlo_resolve(text), tavlo_grant_station(text) FROM PUBLIC;",
};
static_assert(sizeof kSteps / sizeof kSteps[0] == kLedgerSchemaVersion);

// Any fixed key: only schema changes take this lock.
constexpr const char* kLock = "SELECT pg_advisory_lock(7340716)";
constexpr const char* kUnlock = "SELECT pg_advisory_unlock(7340716)";

}  // namespace

bool ApplyLedgerSchema(CPgConnection& conn, int* pnVersion, std::string* pError, int nUpTo) {
  auto fail = [&](const CPgResult& r) {
    if (pError) *pError = r.Error();
    conn.Exec("ROLLBACK");
    conn.Exec(kUnlock);
    return false;
  };
  if (CPgResult r = conn.Exec(kLock); !r.Ok()) return fail(r);
  if (CPgResult r = conn.Exec("CREATE TABLE IF NOT EXISTS tavlo_schema ("
                              "  version integer PRIMARY KEY,"
                              "  applied timestamptz NOT NULL DEFAULT now())");
      !r.Ok()) {
    return fail(r);
  }
  const CPgResult version = conn.Exec("SELECT coalesce(max(version), 0) FROM tavlo_schema");
  if (!version.Ok()) return fail(version);
  int nFound = -1;
  if (version.Rows() == 1) nFound = std::atoi(version.Text(0, 0).c_str());
  if (nFound < 0 || nFound > kLedgerSchemaVersion) {
    if (pError) {
      *pError = "the ledger's schema version is " +
                (version.Rows() == 1 ? version.Text(0, 0) : std::string("unreadable")) +
                "; this program knows versions up to " + std::to_string(kLedgerSchemaVersion);
    }
    conn.Exec(kUnlock);
    return false;
  }
  if (pnVersion) *pnVersion = nFound;
  for (int v = nFound; v < std::min(nUpTo, kLedgerSchemaVersion); ++v) {
    if (CPgResult r = conn.Exec("BEGIN"); !r.Ok()) return fail(r);
    if (CPgResult r = conn.Exec(kSteps[v]); !r.Ok()) return fail(r);
    const std::string strNote =
        "INSERT INTO tavlo_schema(version) VALUES (" + std::to_string(v + 1) + ")";
    if (CPgResult r = conn.Exec(strNote.c_str()); !r.Ok()) return fail(r);
    if (CPgResult r = conn.Exec("COMMIT"); !r.Ok()) return fail(r);
  }
  conn.Exec(kUnlock);
  return true;
}

bool GrantStationRole(CPgConnection& conn, const std::string& strRole, std::string* pError) {
  const CPgResult r = conn.Run("grant_station", {strRole});
  if (r.Ok()) return true;
  if (pError) {
    *pError = "cannot grant the station's rights to " + strRole + ": " +
              (conn.Connected() ? r.Error() : conn.LastError());
    while (!pError->empty() && pError->back() == '\n') pError->pop_back();
  }
  return false;
}
