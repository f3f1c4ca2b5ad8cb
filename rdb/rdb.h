// SPDX-License-Identifier: MIT
#pragma once
// The daemon's only door to the RDB: string-level read, write (creating on
// demand), delete, name formatting and enumeration by regular expression.
// Returned texts live in module buffers, valid until the next call of the
// same operation.

#include <cstddef>

// rdb_format_name's buffer: the names it formats are cut to 255 characters.
inline constexpr size_t kRdbVarNameSize = 256;

// Callback of rdb_regex_enum: a negative result stops the walk.
using rdb_enum_cb = int (*)(const char *name, int ref);

// Opens $RDB_DEVICE, or the driver's default device when it is unset.
int rdb_init();
void rdb_fini();

// For a daemon that started before its RDB: opens it like rdb_init when
// it is not open yet, without logging a failure (it is retried). 0 when
// it is open.
int rdb_try_open();
bool rdb_is_open();
// 0 when the RDB answers a read (the variable need not exist), otherwise
// the failed request's negative result.
int rdb_ping();
// 0 when the RDB takes what it refused last: the last write or delete that
// failed is made once more, with no line logged (a read, as rdb_ping, when
// none is left to repeat). A write refused is one the RDB does not hold,
// so it is no write without effect, which rdbd may answer at once whatever
// its disk: it shows whether rdbd can store again.
int rdb_probe();

// The RDB may miss what the daemon wrote: a write or a delete failed, or
// the connection to rdbd was closed or made afresh (rdbd restarted and lost
// its volatile variables) since the last rdb_mirror_rewriting(), which the
// caller calls just before it writes its whole mirror again; it repeats the
// deletes that failed (only those the daemon asked for since the RDB was
// opened) and returns how many went. Opening the RDB starts with a mirror
// that is not stale.
bool rdb_mirror_stale();
int rdb_mirror_rewriting();

// The connection to rdbd, to wait on between requests (-1 for the kernel
// driver, or while there is none): rdbd sends nothing unasked, so it turns
// readable when rdbd closed it. rdb_mirror_stale() then finds it closed
// and the mirror stale, until a request connects afresh and the mirror is
// written again.
int rdb_wait_fd();

// Read-only use (hwtrack-explain): every write and delete is refused with
// EROFS before it reaches the driver, whoever asks for it.
void rdb_set_read_only(bool read_only);

const char *rdb_get_value(const char *name);
int rdb_set_value(const char *name, const char *value, int persist);
int rdb_delete_value(const char *name);
const char *rdb_format_name(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *rdb_get_names(const char *name, int flags);
// Like rdb_get_value, but for values of any length (up to the driver's
// limit): the buffer grows to what the driver reports. Tools use it; the
// daemon keeps to rdb_get_value. None on failure, errno set.
const char *rdb_get_long_value(const char *name);
int rdb_regex_enum(const char *name, const char *regex, rdb_enum_cb cb, int ref);
int enum_cb_on_delete_hwdev_rdbs(const char *name, int ref);
