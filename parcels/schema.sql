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

/* What the stations' roles may do to a parcel's faulty EAN is checked by the
   trigger COLLI_BU, which colli-admin station-user makes because it names the
   roles. A role fills an empty one, with the value derived from the CODICEEAN of
   a parcel with the same courier barcode; within one transaction it may fill
   again a row it filled itself (the rows are named by record key, which stays
   for the transaction's length). Only the trigger reads or writes this table. */
CREATE GLOBAL TEMPORARY TABLE COLLI_RIEMPITE (
  CHIAVE CHAR(8) CHARACTER SET OCTETS NOT NULL PRIMARY KEY
) ON COMMIT DELETE ROWS;

CREATE EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO
  'CODICEEAN_ERRATO gia impostato: la stazione riempie solo quelli vuoti';

/* The faulty EAN the batch derives from a correct one: characters 2 to 13 and
   a new EAN-13 check digit; NULL when the code has not 13 characters or a
   character among the twelve is not a digit. */
CREATE FUNCTION EAN_ERRATO (CODICEEAN VARCHAR(8191)) RETURNS VARCHAR(13) AS
DECLARE I INTEGER = 2;
DECLARE S INTEGER = 0;
DECLARE C CHAR(1);
BEGIN
  IF (CHAR_LENGTH(CODICEEAN) IS DISTINCT FROM 13) THEN
    RETURN NULL;
  WHILE (I <= 13) DO
  BEGIN
    C = SUBSTRING(CODICEEAN FROM I FOR 1);
    IF (C < '0' OR C > '9') THEN
      RETURN NULL;
    S = S + IIF(MOD(I, 2) = 0, 1, 3) * (ASCII_VAL(C) - 48);
    I = I + 1;
  END
  RETURN SUBSTRING(CODICEEAN FROM 2 FOR 12) || ASCII_CHAR(48 + MOD(10 - MOD(S, 10), 10));
END;

/* The roles colli-admin station-user made for the stations: init and the
   trigger COLLI_BU go by this record, never by what a role was granted. */
CREATE TABLE COLLI_RUOLI_STAZIONE (
  RUOLO VARCHAR(63) NOT NULL PRIMARY KEY
);

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

/* 1 when the station decided the outcome from its own copy of the parcels,
   the server being away; NULL when the server answered the lookup. */
ALTER TABLE LOGSPARATE ADD DACOPIA SMALLINT;

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

/* The rows a transaction inserted into the log, until it commits. */
CREATE GLOBAL TEMPORARY TABLE LOGSPARATE_NUOVE (
  ID BIGINT NOT NULL PRIMARY KEY
) ON COMMIT DELETE ROWS;

/* Who wrote a row: the account and the workstation's address, as the server
   sees them. Rows of older versions keep them NULL. */
ALTER TABLE LOGSPARATE ADD UTENTE VARCHAR(63), ADD POSTAZIONE VARCHAR(255);

ALTER TRIGGER LOGSPARATE_BI AS
BEGIN
  NEW.ID = GEN_ID(IDLOGSPARATECOUNTER, 1);
  NEW.DATAORA = CURRENT_TIMESTAMP;
  NEW.UTENTE = CURRENT_USER;
  NEW.POSTAZIONE = RDB$GET_CONTEXT('SYSTEM', 'CLIENT_ADDRESS');
  INSERT INTO LOGSPARATE_NUOVE (ID) VALUES (NEW.ID);
END;

GRANT INSERT ON LOGSPARATE_NUOVE TO TRIGGER LOGSPARATE_BI;

/* DATAORA is the time the row became visible: a writer that keeps its
   transaction open cannot give a row an earlier time than its commit. Runs at
   every commit, so it costs a look at an empty table when nothing was logged;
   an autocommit statement commits with it. */
CREATE TRIGGER LOGSPARATE_COMMIT ACTIVE ON TRANSACTION COMMIT POSITION 0 AS
DECLARE N BIGINT;
DECLARE ANY_ROW SMALLINT = 0;
BEGIN
  FOR SELECT ID FROM LOGSPARATE_NUOVE INTO :N DO
  BEGIN
    UPDATE LOGSPARATE SET DATAORA = CURRENT_TIMESTAMP WHERE ID = :N;
    ANY_ROW = 1;
  END
  /* A commit with retaining keeps the table's rows. */
  IF (ANY_ROW = 1) THEN
    DELETE FROM LOGSPARATE_NUOVE;
END;

GRANT SELECT, DELETE ON LOGSPARATE_NUOVE TO TRIGGER LOGSPARATE_COMMIT;
GRANT SELECT, UPDATE ON LOGSPARATE TO TRIGGER LOGSPARATE_COMMIT;

/* The stations keep a copy of the parcels on the workstation and refresh it
   with what changed since. Each insert, update and delete of a parcel leaves a
   row here, numbered by its own generator; the row names the parcel by its
   record key, not by its values, so that the copy asks for the parcel as it is
   now (later changes of the same parcel, and parcels sharing a courier barcode,
   sort themselves out) and a site may widen the columns of COLLI freely. A key
   stays with its record for the record's life; a deleted record's key may be
   given to a later insert, whose own row then follows. TRANSAZIONE tells the
   committed rows apart from those of a writer still at work. */
CREATE TABLE COLLI_MODIFICHE (
  N BIGINT NOT NULL PRIMARY KEY,
  OPERAZIONE CHAR(1) NOT NULL,
  CHIAVE CHAR(8) CHARACTER SET OCTETS NOT NULL,
  TRANSAZIONE BIGINT NOT NULL,
  DATAORA TIMESTAMP NOT NULL
);

CREATE INDEX IDX_COLLI_MODIFICHE_TRANS ON COLLI_MODIFICHE (TRANSAZIONE);

CREATE GENERATOR COLLI_MODIFICHE_N;

/* Numbers are drawn when a change is made but seen only when its transaction
   commits, so a higher number may be seen before a lower one. Every
   transaction that changes parcels writes here, committed at once and before
   its first number, the first number it may draw: while it may still be at
   work, no copy counts the numbers from there on as settled. */
CREATE TABLE COLLI_SCRITTORI (
  TRANSAZIONE BIGINT NOT NULL PRIMARY KEY,
  PRIMA BIGINT NOT NULL
);

/* The highest number whose row was pruned: a copy that has not got that far
   has lost changes and must be filled again. */
CREATE GENERATOR COLLI_MODIFICHE_POTATE;

CREATE TRIGGER COLLI_MODIFICHE_AIUD FOR COLLI ACTIVE AFTER INSERT OR UPDATE OR DELETE POSITION 100 AS
DECLARE T BIGINT;
BEGIN
  /* A rewrite with the very same bytes (an import run again) changes nothing
     a copy holds; blanks at the end count, as the copy returns them. */
  IF (UPDATING) THEN
    IF (NEW.BARCODESPEED IS NOT DISTINCT FROM OLD.BARCODESPEED
        AND OCTET_LENGTH(NEW.BARCODESPEED) IS NOT DISTINCT FROM OCTET_LENGTH(OLD.BARCODESPEED)
        AND NEW.CODICEEAN IS NOT DISTINCT FROM OLD.CODICEEAN
        AND OCTET_LENGTH(NEW.CODICEEAN) IS NOT DISTINCT FROM OCTET_LENGTH(OLD.CODICEEAN)
        AND NEW.CODICEEAN_ERRATO IS NOT DISTINCT FROM OLD.CODICEEAN_ERRATO
        AND OCTET_LENGTH(NEW.CODICEEAN_ERRATO) IS NOT DISTINCT FROM OCTET_LENGTH(OLD.CODICEEAN_ERRATO)) THEN
      EXIT;
  T = CURRENT_TRANSACTION;
  /* The number, not a flag: a commit or rollback with retaining goes on under
     a new transaction number, with the same context. */
  IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'COLLI_MODIFICHE') IS DISTINCT FROM CAST(T AS VARCHAR(20))) THEN
  BEGIN
    IN AUTONOMOUS TRANSACTION DO
      IF (NOT EXISTS (SELECT 1 FROM COLLI_SCRITTORI WHERE TRANSAZIONE = :T)) THEN
        INSERT INTO COLLI_SCRITTORI (TRANSAZIONE, PRIMA) VALUES (:T, GEN_ID(COLLI_MODIFICHE_N, 0) + 1);
    RDB$SET_CONTEXT('USER_TRANSACTION', 'COLLI_MODIFICHE', T);
  END
  INSERT INTO COLLI_MODIFICHE (N, OPERAZIONE, CHIAVE, TRANSAZIONE, DATAORA)
  VALUES (GEN_ID(COLLI_MODIFICHE_N, 1), IIF(INSERTING, 'I', IIF(UPDATING, 'U', 'D')),
          IIF(DELETING, OLD.RDB$DB_KEY, NEW.RDB$DB_KEY), :T, CURRENT_TIMESTAMP);
END;

GRANT INSERT ON COLLI_MODIFICHE TO TRIGGER COLLI_MODIFICHE_AIUD;
GRANT SELECT, INSERT ON COLLI_SCRITTORI TO TRIGGER COLLI_MODIFICHE_AIUD;
GRANT USAGE ON GENERATOR COLLI_MODIFICHE_N TO TRIGGER COLLI_MODIFICHE_AIUD;

/* What a copy needs to catch up from number DOPO: first one row without N
   telling where the numbers stand, then each change after DOPO with the
   parcel as it is now (PRESENTE 0: the record is gone, or not yet committed).
   SETTLED is the highest number below which nothing more can appear: every
   number up to it is either here or was rolled back. The first row also
   names the database (its creation time, new after a restore, which gives
   the records new keys) and the table's relation number, the first part of
   every key. The stations' role may run this and nothing else of the log. */
CREATE PROCEDURE COLLI_MODIFICHE_DOPO (DOPO BIGINT)
RETURNS (
  N BIGINT,
  CHIAVE CHAR(8) CHARACTER SET OCTETS,
  PRESENTE SMALLINT,
  BARCODESPEED TYPE OF COLUMN COLLI.BARCODESPEED,
  CODICEEAN TYPE OF COLUMN COLLI.CODICEEAN,
  CODICEEAN_ERRATO TYPE OF COLUMN COLLI.CODICEEAN_ERRATO,
  ASSESTATE BIGINT,
  ULTIMA BIGINT,
  POTATE BIGINT,
  RELAZIONE INTEGER,
  CREATO VARCHAR(40)
) AS
DECLARE OLDEST_ACTIVE BIGINT;
DECLARE FIRST_OPEN BIGINT;
BEGIN
  /* Read in a transaction of its own: a transaction's view of the monitoring
     tables stays as it first read them, and the caller's may be long-lived. */
  IN AUTONOMOUS TRANSACTION DO
    SELECT MON$OLDEST_ACTIVE, CAST(MON$CREATION_DATE AS VARCHAR(40)) FROM MON$DATABASE
      INTO :OLDEST_ACTIVE, :CREATO;
  ULTIMA = GEN_ID(COLLI_MODIFICHE_N, 0);
  /* A writer older than the oldest active transaction has ended; one with a
     change in sight has committed. Any other may still commit numbers from its
     first one on. Read in this order: a writer registers before it draws. */
  SELECT MIN(W.PRIMA) FROM COLLI_SCRITTORI W
    WHERE W.TRANSAZIONE >= :OLDEST_ACTIVE
      AND NOT EXISTS (SELECT 1 FROM COLLI_MODIFICHE M WHERE M.TRANSAZIONE = W.TRANSAZIONE)
    INTO :FIRST_OPEN;
  ASSESTATE = ULTIMA;
  IF (FIRST_OPEN IS NOT NULL AND FIRST_OPEN - 1 < ASSESTATE) THEN
    ASSESTATE = FIRST_OPEN - 1;
  POTATE = GEN_ID(COLLI_MODIFICHE_POTATE, 0);
  SELECT RDB$RELATION_ID FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'COLLI' INTO :RELAZIONE;
  SUSPEND;
  ASSESTATE = NULL;
  ULTIMA = NULL;
  POTATE = NULL;
  RELAZIONE = NULL;
  CREATO = NULL;
  FOR SELECT N, CHIAVE FROM COLLI_MODIFICHE WHERE N > :DOPO ORDER BY N INTO :N, :CHIAVE DO
  BEGIN
    PRESENTE = 0;
    BARCODESPEED = NULL;
    CODICEEAN = NULL;
    CODICEEAN_ERRATO = NULL;
    SELECT 1, BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO FROM COLLI WHERE RDB$DB_KEY = :CHIAVE
      INTO :PRESENTE, :BARCODESPEED, :CODICEEAN, :CODICEEAN_ERRATO;
    SUSPEND;
  END
END;

GRANT SELECT ON COLLI TO PROCEDURE COLLI_MODIFICHE_DOPO;
GRANT SELECT ON COLLI_MODIFICHE TO PROCEDURE COLLI_MODIFICHE_DOPO;
GRANT SELECT ON COLLI_SCRITTORI TO PROCEDURE COLLI_MODIFICHE_DOPO;
GRANT USAGE ON GENERATOR COLLI_MODIFICHE_N TO PROCEDURE COLLI_MODIFICHE_DOPO;
GRANT USAGE ON GENERATOR COLLI_MODIFICHE_POTATE TO PROCEDURE COLLI_MODIFICHE_DOPO;

/* Drops change rows older than GIORNI days whose writers have ended, and the
   writers' rows no copy needs any more; returns how many change rows went. The
   database owner runs it now and then (EXECUTE PROCEDURE COLLI_MODIFICHE_POTA(30),
   from a scheduled job); a copy that had not caught up with them is filled again. */
CREATE PROCEDURE COLLI_MODIFICHE_POTA (GIORNI INTEGER) RETURNS (RIGHE BIGINT) AS
DECLARE OLDEST_ACTIVE BIGINT;
DECLARE HIGHEST BIGINT;
BEGIN
  IN AUTONOMOUS TRANSACTION DO
    SELECT MON$OLDEST_ACTIVE FROM MON$DATABASE INTO :OLDEST_ACTIVE;
  SELECT MAX(N), COUNT(*) FROM COLLI_MODIFICHE
    WHERE DATAORA < DATEADD(-:GIORNI DAY TO CURRENT_TIMESTAMP) AND TRANSAZIONE < :OLDEST_ACTIVE
    INTO :HIGHEST, :RIGHE;
  IF (HIGHEST IS NOT NULL) THEN
  BEGIN
    IF (HIGHEST > GEN_ID(COLLI_MODIFICHE_POTATE, 0)) THEN
      HIGHEST = GEN_ID(COLLI_MODIFICHE_POTATE, HIGHEST - GEN_ID(COLLI_MODIFICHE_POTATE, 0));
    DELETE FROM COLLI_MODIFICHE
      WHERE DATAORA < DATEADD(-:GIORNI DAY TO CURRENT_TIMESTAMP) AND TRANSAZIONE < :OLDEST_ACTIVE;
  END
  DELETE FROM COLLI_SCRITTORI WHERE TRANSAZIONE < :OLDEST_ACTIVE;
END;

GRANT SELECT, DELETE ON COLLI_MODIFICHE TO PROCEDURE COLLI_MODIFICHE_POTA;
GRANT DELETE ON COLLI_SCRITTORI TO PROCEDURE COLLI_MODIFICHE_POTA;
GRANT USAGE ON GENERATOR COLLI_MODIFICHE_POTATE TO PROCEDURE COLLI_MODIFICHE_POTA;
