/* Tables and generator of the parcel check station. The station itself never
   runs this script; it prepares a database for the station (and for the tests).
   No character set is given: the database default (NONE) keeps the 8-bit bytes
   the workstation sends. */

/* One row per parcel. Widths leave room for the longest courier and EAN codes a
   scanner sends. The index on BARCODESPEED is plain, not unique: the station never
   checks uniqueness and must cope with a table that breaks it (the first row read
   wins), so the script does not impose it; a site that wants the guarantee can
   add a unique constraint of its own. */
CREATE TABLE COLLI (
  BARCODESPEED VARCHAR(64) NOT NULL,
  CODICEEAN VARCHAR(64),
  CODICEEAN_ERRATO VARCHAR(64)
);

CREATE INDEX IDX_COLLI_BARCODESPEED ON COLLI (BARCODESPEED);

/* The scan log, append-only, one row per classified scan. */
CREATE TABLE LOGSPARATE (
  ID BIGINT NOT NULL PRIMARY KEY,
  DATAORA TIMESTAMP,
  BARCODESPEED VARCHAR(64),
  CODICEEANLETTO VARCHAR(64),
  STATUS VARCHAR(32)
);

CREATE GENERATOR IDLOGSPARATECOUNTER;
