/*
 * A Wine builtin fbclient.dll for the tests only: the Windows programs under
 * Wine reach the Linux Firebird client (libfbclient.so.2) through it.
 *
 * Built with the host compiler, so that <ibase.h> gives the Linux prototypes;
 * every export is an ms_abi function bridge_<name> (see fbclient.exports).
 * Handles, ISC_STATUS and the XSQLDA have the same layout on both sides.
 *
 * Where a Windows client behaves differently from the Linux one, the bridge
 * does as the Windows client would:
 *   - a database name is read in the ANSI code page (Windows-1252) unless the
 *     attach carries isc_dpb_utf8_filename; CREATE DATABASE by SQL text always
 *     uses the ANSI code page (the client builds that attach itself);
 *   - a local name with a drive letter is opened where Wine keeps that drive
 *     (the prefix's dosdevices links), with Windows' case-blind lookup;
 *   - a name on a server of this machine (127.0.0.1, localhost) is mapped
 *     the same way: a Windows server here would see the same drives;
 *   - other server names go through unchanged;
 *   - \\server\... (named pipes, which Wine cannot reach) fails as a Windows
 *     client fails to reach that server, instead of the Linux client taking it
 *     for a file in the current folder.
 */
#include <ibase.h>

#include <ctype.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((ms_abi, visibility("default")))

/* ---- text: growable buffer --------------------------------------------- */

struct text {
    char *bytes;
    size_t size, room;
};

static int text_add(struct text *t, const char *bytes, size_t size)
{
    if (t->size + size + 1 > t->room) {
        size_t room = t->room ? t->room : 64;
        while (room < t->size + size + 1)
            room *= 2;
        char *grown = realloc(t->bytes, room);
        if (!grown)
            return 0;
        t->bytes = grown;
        t->room = room;
    }
    memcpy(t->bytes + t->size, bytes, size);
    t->size += size;
    t->bytes[t->size] = '\0';
    return 1;
}

static int text_char(struct text *t, char c) { return text_add(t, &c, 1); }

/* ---- Windows-1252 to UTF-8 ------------------------------------------------ */

/* 0x80..0x9F; Windows passes its five unassigned bytes through as C1 controls. */
static const unsigned short cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

static int add_cp1252(struct text *t, const char *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        unsigned c = (unsigned char)bytes[i];
        if (c >= 0x80 && c < 0xA0)
            c = cp1252_high[c - 0x80];
        char out[3];
        size_t n;
        if (c < 0x80) {
            out[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            out[0] = (char)(0xC0 | (c >> 6));
            out[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else {
            out[0] = (char)(0xE0 | (c >> 12));
            out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        }
        if (!text_add(t, out, n))
            return 0;
    }
    return 1;
}

/* ---- drive letters to Unix paths ------------------------------------------ */

static int is_drive_path(const char *name, size_t size)
{
    return size >= 2 && isalpha((unsigned char)name[0]) && name[1] == ':';
}

/* Appends one path component: the entry of that name, or the one that equals
 * it ignoring ASCII case, or the name itself when there is none (a file to
 * be created). */
static int add_component(struct text *t, const char *part, size_t size)
{
    if (!text_char(t, '/'))
        return 0;
    const size_t at = t->size;
    if (!text_add(t, part, size))
        return 0;
    struct stat st;
    if (lstat(t->bytes, &st) == 0)
        return 1;
    t->bytes[at - 1] = '\0';
    DIR *dir = opendir(at > 1 ? t->bytes : "/");
    t->bytes[at - 1] = '/';
    if (!dir)
        return 1;
    const struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strlen(entry->d_name) == size && strncasecmp(entry->d_name, part, size) == 0) {
            memcpy(t->bytes + at, entry->d_name, size);
            break;
        }
    }
    closedir(dir);
    return 1;
}

/* "X:\dir\file" (UTF-8) to the Unix path of drive X in the prefix. An unmapped
 * drive gives a path that does not exist, so the client reports it missing. */
static int add_drive_path(struct text *t, const char *name, size_t size)
{
    const size_t base = t->size;
    struct text link = {0};
    const char *prefix = getenv("WINEPREFIX");
    const char *home = getenv("HOME");
    const char letter[3] = {(char)tolower((unsigned char)name[0]), ':', '\0'};
    int ok = (prefix && *prefix) ? text_add(&link, prefix, strlen(prefix))
                                 : text_add(&link, home ? home : "", home ? strlen(home) : 0) &&
                                       text_add(&link, "/.wine", 6);
    ok = ok && text_add(&link, "/dosdevices/", 12) && text_add(&link, letter, 2);
    if (!ok) {
        free(link.bytes);
        return 0;
    }
    char *drive = realpath(link.bytes, NULL);
    ok = text_add(t, drive ? drive : link.bytes, strlen(drive ? drive : link.bytes));
    free(drive);
    free(link.bytes);
    if (!ok)
        return 0;
    if (t->size == base + 1) /* drive at "/" */
        t->size = base;
    const size_t root = t->size; /* ".." stops at the drive's root, as on Windows */
    size_t i = 2;
    while (i < size) {
        while (i < size && (name[i] == '\\' || name[i] == '/'))
            ++i;
        size_t end = i;
        while (end < size && name[end] != '\\' && name[end] != '/')
            ++end;
        if (end > i) {
            const size_t part = end - i;
            if (part == 2 && memcmp(name + i, "..", 2) == 0) {
                while (t->size > root && t->bytes[t->size - 1] != '/')
                    --t->size;
                if (t->size > root)
                    --t->size;
                t->bytes[t->size] = '\0';
            } else if (!(part == 1 && name[i] == '.') && !add_component(t, name + i, part)) {
                return 0;
            }
        }
        i = end;
    }
    if (t->size == base)
        return text_char(t, '/');
    return 1;
}

static int is_this_machine(const char *host, size_t size)
{
    const char *slash = memchr(host, '/', size); /* host/port */
    if (slash)
        size = (size_t)(slash - host);
    return (size == 9 && strncmp(host, "127.0.0.1", 9) == 0) ||
           (size == 9 && strncasecmp(host, "localhost", 9) == 0);
}

/* A database name as the Windows client would see it, as a name for the Linux
 * client: malloc'd, NUL-terminated, or NULL when out of memory. */
static char *translate_name(const char *name, size_t size, int utf8)
{
    struct text decoded = {0}, out = {0};
    if (!(utf8 ? text_add(&decoded, name, size) : add_cp1252(&decoded, name, size)))
        goto failed;
    if (!text_add(&decoded, "", 0))
        goto failed;
    const char *n = decoded.bytes;
    const size_t len = decoded.size;
    int ok;
    if (is_drive_path(n, len)) {
        ok = add_drive_path(&out, n, len);
    } else {
        const char *colon = (len > 2 && n[0] != '\\' && n[0] != '/') ? memchr(n, ':', len) : NULL;
        const size_t hostLen = colon ? (size_t)(colon - n) : 0;
        const char *path = colon ? colon + 1 : NULL;
        const size_t pathLen = colon ? len - hostLen - 1 : 0;
        if (colon && hostLen > 1 && is_this_machine(n, hostLen) && is_drive_path(path, pathLen))
            ok = text_add(&out, n, hostLen + 1) && add_drive_path(&out, path, pathLen);
        else
            ok = text_add(&out, n, len);
    }
    if (!ok)
        goto failed;
    free(decoded.bytes);
    return out.bytes;
failed:
    free(decoded.bytes);
    free(out.bytes);
    return NULL;
}

/* Whether a parameter block asks for UTF-8 names. */
static int dpb_wants_utf8(const ISC_SCHAR *dpb, short size)
{
    if (!dpb || size <= 0)
        return 0;
    const unsigned char *p = (const unsigned char *)dpb, *end = p + size;
    const int wide = *p == isc_dpb_version2;
    for (++p; p < end;) {
        const unsigned char tag = *p++;
        if (tag == isc_dpb_utf8_filename)
            return 1;
        size_t length;
        if (wide) {
            if (end - p < 4)
                break;
            length = (size_t)p[0] | (size_t)p[1] << 8 | (size_t)p[2] << 16 | (size_t)p[3] << 24;
            p += 4;
        } else {
            if (p == end)
                break;
            length = *p++;
        }
        if ((size_t)(end - p) < length)
            break;
        p += length;
    }
    return 0;
}

static ISC_STATUS out_of_memory(ISC_STATUS *status)
{
    status[0] = isc_arg_gds;
    status[1] = isc_virmemexh;
    status[2] = isc_arg_end;
    return status[1];
}

static int is_named_pipe(const char *name, size_t size)
{
    return size >= 2 && name[0] == '\\' && name[1] == '\\';
}

static ISC_STATUS refuse_named_pipe(ISC_STATUS *status, const char *name, size_t size)
{
    /* The status keeps a pointer to the host's name until the next call of this thread. */
    static __thread char host[256];
    size_t n = 0;
    for (size_t i = 2; i < size && name[i] != '\\' && name[i] != '/' && n + 1 < sizeof host; ++i)
        host[n++] = name[i];
    host[n] = '\0';
    status[0] = isc_arg_gds;
    status[1] = isc_network_error;
    status[2] = isc_arg_string;
    status[3] = (ISC_STATUS)host;
    status[4] = isc_arg_gds;
    status[5] = isc_net_connect_err;
    status[6] = isc_arg_end;
    return status[1];
}

/* ---- the calls ------------------------------------------------------------ */

EXPORT ISC_STATUS bridge_isc_attach_database(ISC_STATUS *status, short nameLength, const ISC_SCHAR *name,
                                             isc_db_handle *db, short dpbLength, const ISC_SCHAR *dpb)
{
    const size_t size = nameLength > 0 ? (size_t)nameLength : (name ? strlen(name) : 0);
    if (is_named_pipe(name, size))
        return refuse_named_pipe(status, name, size);
    char *unixName = translate_name(name ? name : "", size, dpb_wants_utf8(dpb, dpbLength));
    if (!unixName)
        return out_of_memory(status);
    const ISC_STATUS result = isc_attach_database(status, 0, unixName, db, dpbLength, dpb);
    free(unixName);
    return result;
}

static int skip_blanks(const char *s, size_t size, size_t at)
{
    while (at < size && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n'))
        ++at;
    return (int)at;
}

static int word_at(const char *s, size_t size, size_t at, const char *word)
{
    const size_t n = strlen(word);
    return at + n <= size && strncasecmp(s + at, word, n) == 0 &&
           (at + n == size || !isalnum((unsigned char)s[at + n]));
}

/* CREATE DATABASE 'name' ...: the statement with its name translated, or NULL
 * when it is another statement (or out of memory, told by *failed, or a named
 * pipe, told by *pipe: then the name is the statement returned). */
static char *translate_create(const char *sql, size_t size, int *failed, int *pipe)
{
    *failed = 0;
    *pipe = 0;
    size_t at = (size_t)skip_blanks(sql, size, 0);
    if (!word_at(sql, size, at, "CREATE"))
        return NULL;
    at = (size_t)skip_blanks(sql, size, at + 6);
    if (!word_at(sql, size, at, "DATABASE"))
        return NULL;
    at = (size_t)skip_blanks(sql, size, at + 8);
    if (at >= size || (sql[at] != '\'' && sql[at] != '"'))
        return NULL;
    const char quote = sql[at++];
    struct text name = {0}, out = {0};
    for (; at < size; ++at) {
        if (sql[at] == quote) {
            if (at + 1 < size && sql[at + 1] == quote) {
                ++at;
            } else {
                break;
            }
        }
        if (!text_char(&name, sql[at]))
            goto failed;
    }
    if (at >= size) { /* unterminated: the client reports it */
        free(name.bytes);
        return NULL;
    }
    if (is_named_pipe(name.bytes, name.size)) {
        *pipe = 1;
        return name.bytes;
    }
    char *unixName = translate_name(name.bytes ? name.bytes : "", name.size, 0);
    if (!unixName)
        goto failed;
    int ok = text_add(&out, "CREATE DATABASE '", 17);
    for (const char *c = unixName; ok && *c; ++c)
        ok = text_char(&out, *c) && (*c != '\'' || text_char(&out, '\''));
    ok = ok && text_char(&out, '\'') && text_add(&out, sql + at + 1, size - at - 1);
    free(unixName);
    free(name.bytes);
    if (!ok) {
        free(out.bytes);
        *failed = 1;
        return NULL;
    }
    return out.bytes;
failed:
    free(name.bytes);
    free(out.bytes);
    *failed = 1;
    return NULL;
}

EXPORT ISC_STATUS bridge_isc_dsql_execute_immediate(ISC_STATUS *status, isc_db_handle *db, isc_tr_handle *tr,
                                                    unsigned short length, const ISC_SCHAR *sql,
                                                    unsigned short dialect, const XSQLDA *xsqlda)
{
    if (db && *db == 0 && sql) {
        int failed, pipe;
        char *created = translate_create(sql, length ? length : strlen(sql), &failed, &pipe);
        if (failed)
            return out_of_memory(status);
        if (pipe) {
            const ISC_STATUS result = refuse_named_pipe(status, created, strlen(created));
            free(created);
            return result;
        }
        if (created) {
            const ISC_STATUS result = isc_dsql_execute_immediate(status, db, tr, 0, created, dialect, xsqlda);
            free(created);
            return result;
        }
    }
    return isc_dsql_execute_immediate(status, db, tr, length, sql, dialect, xsqlda);
}

/* fb_shutdown_callback: the program's ms_abi callback behind a host one. */
typedef int (__attribute__((ms_abi)) *windows_shutdown_callback)(const int, const int, void *);
struct shutdown_registration {
    windows_shutdown_callback callback;
    void *argument;
};

static int host_shutdown_callback(const int reason, const int mask, void *registration)
{
    const struct shutdown_registration *r = registration;
    return r->callback(reason, mask, r->argument);
}

EXPORT ISC_STATUS bridge_fb_shutdown_callback(ISC_STATUS *status, windows_shutdown_callback callback,
                                              const int mask, void *argument)
{
    if (!callback)
        return fb_shutdown_callback(status, NULL, mask, argument);
    /* The registration lasts as long as the process. */
    struct shutdown_registration *r = malloc(sizeof *r);
    if (!r)
        return out_of_memory(status);
    r->callback = callback;
    r->argument = argument;
    return fb_shutdown_callback(status, host_shutdown_callback, mask, r);
}

/* struct tm is nine ints on Windows, larger in glibc. */
struct windows_tm {
    int tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
};

EXPORT void bridge_isc_decode_sql_date(const ISC_DATE *date, struct windows_tm *out)
{
    struct tm host;
    memset(&host, 0, sizeof host);
    isc_decode_sql_date(date, &host);
    out->tm_sec = host.tm_sec;
    out->tm_min = host.tm_min;
    out->tm_hour = host.tm_hour;
    out->tm_mday = host.tm_mday;
    out->tm_mon = host.tm_mon;
    out->tm_year = host.tm_year;
    out->tm_wday = host.tm_wday;
    out->tm_yday = host.tm_yday;
    out->tm_isdst = host.tm_isdst;
}

/* ---- the rest pass through ------------------------------------------------ */

#define PASS(result, name, parameters, arguments) \
    EXPORT result bridge_##name parameters { return name arguments; }

PASS(ISC_LONG, fb_interpret, (ISC_SCHAR *a, unsigned int b, const ISC_STATUS **c), (a, b, c))
EXPORT void bridge_fb_sqlstate(char *a, const ISC_STATUS *b) { fb_sqlstate(a, b); }
PASS(ISC_STATUS, fb_cancel_operation, (ISC_STATUS *a, isc_db_handle *b, ISC_USHORT c), (a, b, c))
PASS(ISC_STATUS, isc_cancel_blob, (ISC_STATUS *a, isc_blob_handle *b), (a, b))
PASS(ISC_STATUS, isc_close_blob, (ISC_STATUS *a, isc_blob_handle *b), (a, b))
PASS(ISC_STATUS, isc_commit_transaction, (ISC_STATUS *a, isc_tr_handle *b), (a, b))
PASS(ISC_STATUS, isc_create_blob2,
     (ISC_STATUS *a, isc_db_handle *b, isc_tr_handle *c, isc_blob_handle *d, ISC_QUAD *e, short f,
      const ISC_SCHAR *g),
     (a, b, c, d, e, f, g))
PASS(ISC_STATUS, isc_database_info,
     (ISC_STATUS *a, isc_db_handle *b, short c, const ISC_SCHAR *d, short e, ISC_SCHAR *f), (a, b, c, d, e, f))
PASS(ISC_STATUS, isc_detach_database, (ISC_STATUS *a, isc_db_handle *b), (a, b))
PASS(ISC_STATUS, isc_drop_database, (ISC_STATUS *a, isc_db_handle *b), (a, b))
PASS(ISC_STATUS, isc_dsql_alloc_statement2, (ISC_STATUS *a, isc_db_handle *b, isc_stmt_handle *c), (a, b, c))
PASS(ISC_STATUS, isc_dsql_describe, (ISC_STATUS *a, isc_stmt_handle *b, unsigned short c, XSQLDA *d), (a, b, c, d))
PASS(ISC_STATUS, isc_dsql_describe_bind, (ISC_STATUS *a, isc_stmt_handle *b, unsigned short c, XSQLDA *d),
     (a, b, c, d))
PASS(ISC_STATUS, isc_dsql_execute,
     (ISC_STATUS *a, isc_tr_handle *b, isc_stmt_handle *c, unsigned short d, const XSQLDA *e), (a, b, c, d, e))
PASS(ISC_STATUS, isc_dsql_execute2,
     (ISC_STATUS *a, isc_tr_handle *b, isc_stmt_handle *c, unsigned short d, const XSQLDA *e, const XSQLDA *f),
     (a, b, c, d, e, f))
PASS(ISC_STATUS, isc_dsql_exec_immed2,
     (ISC_STATUS *a, isc_db_handle *b, isc_tr_handle *c, unsigned short d, const ISC_SCHAR *e, unsigned short f,
      const XSQLDA *g, const XSQLDA *h),
     (a, b, c, d, e, f, g, h))
PASS(ISC_STATUS, isc_dsql_fetch, (ISC_STATUS *a, isc_stmt_handle *b, unsigned short c, const XSQLDA *d),
     (a, b, c, d))
PASS(ISC_STATUS, isc_dsql_free_statement, (ISC_STATUS *a, isc_stmt_handle *b, unsigned short c), (a, b, c))
PASS(ISC_STATUS, isc_dsql_prepare,
     (ISC_STATUS *a, isc_tr_handle *b, isc_stmt_handle *c, unsigned short d, const ISC_SCHAR *e, unsigned short f,
      XSQLDA *g),
     (a, b, c, d, e, f, g))
PASS(ISC_STATUS, isc_dsql_sql_info,
     (ISC_STATUS *a, isc_stmt_handle *b, short c, const ISC_SCHAR *d, short e, ISC_SCHAR *f), (a, b, c, d, e, f))
PASS(ISC_STATUS, isc_get_segment,
     (ISC_STATUS *a, isc_blob_handle *b, unsigned short *c, unsigned short d, ISC_SCHAR *e), (a, b, c, d, e))
PASS(ISC_STATUS, isc_open_blob2,
     (ISC_STATUS *a, isc_db_handle *b, isc_tr_handle *c, isc_blob_handle *d, ISC_QUAD *e, ISC_USHORT f,
      const ISC_UCHAR *g),
     (a, b, c, d, e, f, g))
PASS(ISC_STATUS, isc_put_segment, (ISC_STATUS *a, isc_blob_handle *b, unsigned short c, const ISC_SCHAR *d),
     (a, b, c, d))
PASS(ISC_STATUS, isc_rollback_transaction, (ISC_STATUS *a, isc_tr_handle *b), (a, b))
PASS(ISC_LONG, isc_sqlcode, (const ISC_STATUS *a), (a))
PASS(ISC_STATUS, isc_start_multiple, (ISC_STATUS *a, isc_tr_handle *b, short c, void *d), (a, b, c, d))
PASS(ISC_LONG, isc_vax_integer, (const ISC_SCHAR *a, short b), (a, b))
PASS(ISC_INT64, isc_portable_integer, (const ISC_UCHAR *a, short b), (a, b))
