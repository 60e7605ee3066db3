#!/usr/bin/env bash
# Makes the sample shift report of the README: a database with the demo's
# parcels (share/demo-parcels.csv) and one made-up shift of scans of the
# demo's kind (courier codes SPDnnnn, unknown codes NOPEnnnn), then
#   docs/rapporto-esempio.html  the page as colli-admin writes it
#   docs/rapporto-esempio.csv   the CSV
#   docs/rapporto-esempio.png   the PDF's first page, through pdftoppm
# Needs the build (build/ or COLLI_BUILD_DIR), isql-fb and pdftoppm.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COLLI_BUILD_DIR:-build}
cmake --build "$build" --target colli-admin >/dev/null
admin=$(cd "$build/admin" && pwd)/colli-admin
top=$(pwd)

work=$(mktemp -d /tmp/colli-report-sample.XXXXXX)
trap 'rm -rf "$work"' EXIT
# From inside the folder, so that the page names the database as a station does.
cd "$work"
db=ARCHIVIOCOLLI.FDB
"$admin" init "$db" >/dev/null
"$admin" import "$db" "$top/share/demo-parcels.csv" >/dev/null

# The station's account, its workstation and the outcomes decided from its
# copy come with newer stations; a log that lacks the columns gets them here,
# so that the sample shows those parts too.
cat >"$work/shift.sql" <<'SQL'
SET TERM ^;
EXECUTE BLOCK AS
BEGIN
  IF (NOT EXISTS (SELECT 1 FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'LOGSPARATE' AND RDB$FIELD_NAME = 'UTENTE')) THEN
    EXECUTE STATEMENT 'ALTER TABLE LOGSPARATE ADD UTENTE VARCHAR(31)';
  IF (NOT EXISTS (SELECT 1 FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'LOGSPARATE' AND RDB$FIELD_NAME = 'POSTAZIONE')) THEN
    EXECUTE STATEMENT 'ALTER TABLE LOGSPARATE ADD POSTAZIONE VARCHAR(64)';
  IF (NOT EXISTS (SELECT 1 FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'LOGSPARATE' AND RDB$FIELD_NAME = 'DACOPIA')) THEN
    EXECUTE STATEMENT 'ALTER TABLE LOGSPARATE ADD DACOPIA SMALLINT';
END^
SET TERM ;^
COMMIT;
ALTER TRIGGER LOGSPARATE_BI INACTIVE;
COMMIT;
SET TERM ^;
/* Two stations from 06:00 to 14:00, a slow hour at the break; now and then a
   faulty label, an unknown EAN (mostly scanned again right), an unknown
   parcel, a parcel scanned twice, and half an hour of one station on its copy,
   whose rows reach the server ten minutes after their scan. */
EXECUTE BLOCK AS
DECLARE H INTEGER = 6;
DECLARE J INTEGER;
DECLARE N INTEGER;
DECLARE I INTEGER = 0;
DECLARE ID INTEGER = 0;
DECLARE T TIMESTAMP;
DECLARE CODE VARCHAR(16);
DECLARE U VARCHAR(31);
DECLARE P VARCHAR(64);
DECLARE C SMALLINT;
DECLARE LATE INTEGER;
BEGIN
  WHILE (H < 14) DO BEGIN
    N = DECODE(H, 6, 31, 7, 48, 8, 55, 9, 52, 10, 22, 11, 47, 12, 53, 38);
    J = 0;
    WHILE (J < N) DO BEGIN
      T = DATEADD(J * 3600 / N SECOND TO DATEADD(H HOUR TO TIMESTAMP '2026-03-02 00:00:00'));
      CODE = 'SPD' || LPAD(I + 1, 4, '0');
      U = IIF(MOD(I, 2) = 0, 'STAZIONE1', 'STAZIONE2');
      P = IIF(MOD(I, 2) = 0, '192.168.10.21', '192.168.10.22');
      C = IIF(MOD(I, 2) = 1 AND T >= TIMESTAMP '2026-03-02 11:00:00' AND T < TIMESTAMP '2026-03-02 11:30:00', 1, 0);
      /* Rows decided on the copy waited in the station's journal for the server. */
      LATE = IIF(C = 1, -600, -2);
      ID = ID + 1;
      IF (MOD(I, 29) = 7) THEN
        INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA, IDSCANSIONE, DATAORASCANSIONE)
        VALUES (:ID, :T, 'NOPE' || LPAD(MOD(:I, 3) + 1, 4, '0'), NULL, 'BarCodeSpeedSconosciuto', :U, :P, :C, LPAD(:ID, 32, '0'), DATEADD(:LATE SECOND TO :T));
      ELSE IF (MOD(I, 23) = 5) THEN
        INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA, IDSCANSIONE, DATAORASCANSIONE)
        VALUES (:ID, :T, :CODE, '0076543210190', 'EanErrato', :U, :P, :C, LPAD(:ID, 32, '0'), DATEADD(:LATE SECOND TO :T));
      ELSE IF (MOD(I, 19) = 3) THEN BEGIN
        INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA, IDSCANSIONE, DATAORASCANSIONE)
        VALUES (:ID, :T, :CODE, IIF(MOD(:I, 2) = 0, '1234567890123', '8001234567000'), 'CodiceEanSconosciuto', :U, :P, :C, LPAD(:ID, 32, '0'), DATEADD(:LATE SECOND TO :T));
        IF (MOD(I, 3) <> 0) THEN BEGIN
          ID = ID + 1;
          INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA, IDSCANSIONE, DATAORASCANSIONE)
          VALUES (:ID, DATEADD(20 SECOND TO :T), :CODE, '8001234567897', 'EanCorretto', :U, :P, :C, LPAD(:ID, 32, '0'), DATEADD(:LATE SECOND TO :T));
        END
      END
      ELSE
        INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA, IDSCANSIONE, DATAORASCANSIONE)
        VALUES (:ID, :T, IIF(MOD(:I, 97) = 50, 'SPD' || LPAD(:I - 40, 4, '0'), :CODE), '8001234567897', 'EanCorretto', :U, :P, :C, LPAD(:ID, 32, '0'), DATEADD(:LATE SECOND TO :T));
      I = I + 1;
      J = J + 1;
    END
    H = H + 1;
  END
END^
SET TERM ;^
COMMIT;
ALTER TRIGGER LOGSPARATE_BI ACTIVE;
COMMIT;
SQL
isql-fb -q "$db" -i "$work/shift.sql"

mkdir -p "$top/docs"
"$admin" report "$db" --from 2026-03-02 --to 2026-03-02 \
  --csv "$top/docs/rapporto-esempio.csv" --html "$top/docs/rapporto-esempio.html" --pdf "$work/rapporto.pdf"
pdftoppm -r 80 -f 1 -l 1 -png "$work/rapporto.pdf" "$work/pagina"
cp "$work"/pagina*.png "$top/docs/rapporto-esempio.png"
echo "docs/rapporto-esempio.{html,csv,png} written"
