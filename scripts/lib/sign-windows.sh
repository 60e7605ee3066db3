# Authenticode signing of the Windows files, sourced by scripts/build-windows.sh
# and scripts/test-windows.sh.
# COLLI_SIGN_PFX: the certificate and its key (.pfx); COLLI_SIGN_PASSWORD_FILE:
# a file whose first line is the .pfx's password; COLLI_SIGN_TIMESTAMP: an
# RFC 3161 time-stamp server (optional; without one a signature stops being
# valid when the certificate expires).

# 0 when a certificate is given; a half-given one is an error, not an unsigned build.
signing_wanted() {
  if [ -z "${COLLI_SIGN_PFX:-}" ] && [ -z "${COLLI_SIGN_PASSWORD_FILE:-}" ]; then
    return 1
  fi
  if [ ! -f "${COLLI_SIGN_PFX:-}" ] || [ ! -f "${COLLI_SIGN_PASSWORD_FILE:-}" ]; then
    echo "signing: COLLI_SIGN_PFX and COLLI_SIGN_PASSWORD_FILE must both name files" >&2
    exit 1
  fi
  return 0
}

# sign_file FILE DESCRIPTION: signs FILE in place (SHA-256).
sign_file() {
  local file=$1 description=$2 timestamp=()
  [ -n "${COLLI_SIGN_TIMESTAMP:-}" ] && timestamp=(-ts "$COLLI_SIGN_TIMESTAMP")
  rm -f "$file.signed"
  osslsigncode sign -pkcs12 "$COLLI_SIGN_PFX" -readpass "$COLLI_SIGN_PASSWORD_FILE" -h sha256 \
    -n "$description" "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null ||
    { rm -f "$file.signed"; echo "signing: $file could not be signed" >&2; exit 1; }
  mv "$file.signed" "$file"
}
