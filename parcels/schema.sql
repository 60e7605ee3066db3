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

/* A change of a parcel's faulty EAN that is already set is refused to the
   stations' role (colli-admin station-user makes the trigger that checks it);
   within one transaction the rows a station just filled may be filled again, so
   that parcels sharing a courier barcode all end with the last value. Only the
   trigger may read or write this table and raise the exception. */
CREATE GLOBAL TEMPORARY TABLE COLLI_RIEMPITI (
  BARCODESPEED VARCHAR(64) NOT NULL
) ON COMMIT DELETE ROWS;

CREATE EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO
  'CODICEEAN_ERRATO gia impostato: la stazione riempie solo quelli vuoti';

/* Each station draws a ticket for every log row it sends (32 hex digits of a
   random 128-bit number), so that after a lost answer it can ask whether its row
   exists. Rows of writers that send none keep it NULL; a unique index allows
   any number of NULLs. */
ALTER TABLE LOGSPARATE ADD IDSCANSIONE VARCHAR(32);

CREATE UNIQUE INDEX IDX_LOGSPARATE_IDSCANSIONE ON LOGSPARATE (IDSCANSIONE);

/* The workstation's own time of the scan: a row may reach the server long
   after it was scanned (it waits in the station's journal while the server is
   away). DATAORA stays the server's time of arrival. */
ALTER TABLE LOGSPARATE ADD DATAORASCANSIONE TIMESTAMP;

/* The key and the time of a row come from the server, whoever writes it. */
CREATE TRIGGER LOGSPARATE_BI FOR LOGSPARATE ACTIVE BEFORE INSERT POSITION 0 AS
BEGIN
  NEW.ID = GEN_ID(IDLOGSPARATECOUNTER, 1);
  NEW.DATAORA = CURRENT_TIMESTAMP;
END;

GRANT USAGE ON GENERATOR IDLOGSPARATECOUNTER TO TRIGGER LOGSPARATE_BI;

/* The ID of the row with that ticket, NULL when there is none: a station, which
   may not read the log, learns whether its own row was committed. */
CREATE PROCEDURE SCANSIONE_REGISTRATA (IDSCANSIONE VARCHAR(32)) RETURNS (ID BIGINT) AS
BEGIN
  ID = NULL;
  SELECT ID FROM LOGSPARATE WHERE IDSCANSIONE = :IDSCANSIONE INTO :ID;
END;

GRANT SELECT ON LOGSPARATE TO PROCEDURE SCANSIONE_REGISTRATA;
